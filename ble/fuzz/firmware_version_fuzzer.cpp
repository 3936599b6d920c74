// Fuzzes the order of firmware revisions: whatever two texts a module and
// a command line give, comparing never fails, a text is the same as
// itself, and the order the other way round is the mirror image. For three
// versions, the order is transitive.
//
// Input: up to three texts separated by NUL bytes.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "quillon/dis/firmware_version.h"

namespace {

using namespace quillon;

VersionOrder reversed(VersionOrder order) {
  switch (order) {
    case VersionOrder::Older: return VersionOrder::Newer;
    case VersionOrder::Newer: return VersionOrder::Older;
    default: return order;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> texts;
  while (texts.size() < 2) {
    const auto nul = input.find('\0');
    texts.push_back(input.substr(0, nul));
    if (nul == std::string_view::npos) break;
    input.remove_prefix(nul + 1);
  }
  if (texts.size() == 2) texts.push_back(input);
  for (auto text : texts) {
    if (compareFirmwareVersions(text, text) != VersionOrder::Same) std::abort();
  }
  for (std::size_t i = 0; i + 1 < texts.size(); ++i) {
    if (compareFirmwareVersions(texts[i + 1], texts[i]) != reversed(compareFirmwareVersions(texts[i], texts[i + 1]))) {
      std::abort();
    }
  }
  if (texts.size() == 3) {
    const auto ab = compareFirmwareVersions(texts[0], texts[1]);
    const auto bc = compareFirmwareVersions(texts[1], texts[2]);
    const auto ac = compareFirmwareVersions(texts[0], texts[2]);
    const bool ordered = ab != VersionOrder::Different && bc != VersionOrder::Different;
    if (ordered && ab == bc && ac != ab) std::abort();
    if (ordered && ab == VersionOrder::Same && ac != bc) std::abort();
  }
  return 0;
}
