// How two firmware revisions, as modules report them and as an update names
// its image, are ordered. Dotted numbers compare as numbers, component by
// component, a missing one counting as 0 (1.2 = 1.2.0 < 1.10); a leading
// "v" is allowed. As in Semantic Versioning, a pre-release ("-rc.1") is
// below its release and its identifiers compare numerically or in ASCII
// order, and build metadata ("+build.7") is ignored. Text that is not such
// a version is only the same or different: it has no order.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

// Where `a` stands against `b`.
enum class VersionOrder {
  Older,      // a < b
  Same,       // equal as versions, or the same text
  Newer,      // a > b
  Different,  // not the same, and at least one is no version, so no order
};

class FirmwareVersion {
 public:
  // The version `text` is; absent when it is none.
  static std::optional<FirmwareVersion> parse(std::string_view text);

  // `a` against `b` as versions.
  friend VersionOrder compare(const FirmwareVersion& a, const FirmwareVersion& b);

 private:
  std::vector<std::string> numbers_;     // without leading zeros ("" is 0)
  std::vector<std::string> prerelease_;  // empty: a release
};

// `a` against `b`, versions or not.
VersionOrder compareFirmwareVersions(std::string_view a, std::string_view b);

}  // namespace quillon
