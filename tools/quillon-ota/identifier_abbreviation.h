// Short forms of the module identifiers of one run, for a board whose rows
// must fit a terminal: a 36-character UUID leaves no room for the progress.
// Like git's abbreviated hashes, each short form is a prefix of at least 8
// characters, as long as needed to tell the run's modules apart. Identifiers
// that differ only near their end (numbered ones, as the simulated modules
// have) would need the whole text that way, so they are shown as their
// first 8 characters, "…" and the shortest tail that tells them apart,
// whichever of the two is shorter. The full identifier is still what the
// summary table and JSON give.
#pragma once

#include <string>
#include <vector>

namespace quillon::ota_tool {

// One short form per identifier, in the same order; the same identifier
// given twice gets the same short form, different ones different forms.
std::vector<std::string> abbreviate_identifiers(const std::vector<std::string>& identifiers);

}  // namespace quillon::ota_tool
