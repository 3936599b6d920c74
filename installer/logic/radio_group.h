// Which buttons share a radio group with a given one, the way the dialog
// manager groups a dialog's controls: a group runs from a control with the
// group style up to the next such control. Whether a button is enabled or
// shown plays no part, so the walk ends after the group's last control even
// when the ticked button itself is disabled or hidden.
#pragma once

#include <cstddef>
#include <vector>

namespace spoolrig {

// One child control of a dialog, in the dialog's control order.
struct GroupedControl {
  bool startsGroup = false;  // WS_GROUP
  bool autoRadio = false;    // BS_AUTORADIOBUTTON
};

// Positions in `controls` of the automatic radio buttons of `ticked`'s group,
// `ticked` excluded. Controls before the first group start form a group of
// their own.
std::vector<std::size_t> otherRadiosOfGroup(const std::vector<GroupedControl>& controls,
                                            std::size_t ticked);

}  // namespace spoolrig
