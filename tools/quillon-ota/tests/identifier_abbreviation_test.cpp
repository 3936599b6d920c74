#include "identifier_abbreviation.h"

#include <gtest/gtest.h>

#include <set>

namespace quillon::ota_tool {
namespace {

// Each short form tells its module apart and is the identifier's head
// (maybe with "…" and its tail), as short as that allows.
TEST(IdentifierAbbreviationTest, ShortFormsAreUniqueWithinTheRunAndAsShortAsThatAllows) {
  struct Case {
    const char* what;
    std::vector<std::string> identifiers;
    std::vector<std::string> expected;
  };
  const std::vector<Case> cases = {
      {"one module", {"6F1A3C52-0B7E-4D2A-9C51-3E8F2B7D0001"}, {"6F1A3C52"}},
      {"apart in the first 8, the same one twice",
       {"0C4D2B8E-1111-4D2A-9C51-000000000001", "9A0F6E31-2222-4D2A-9C51-000000000001",
        "0C4D2B8E-1111-4D2A-9C51-000000000001"},
       {"0C4D2B8E", "9A0F6E31", "0C4D2B8E"}},
      {"apart at the 10th character: a longer prefix",
       {"6F1A3C52-0B7E-4D2A-9C51-3E8F2B7D0001", "6F1A3C52-1B7E-4D2A-9C51-3E8F2B7D0002"},
       {"6F1A3C52-0", "6F1A3C52-1"}},
      {"numbered: head and tail",
       {"6F1A3C52-0B7E-4D2A-9C51-3E8F2B7D0001", "6F1A3C52-0B7E-4D2A-9C51-3E8F2B7D0040",
        "6F1A3C52-0B7E-4D2A-9C51-3E8F2B7D1040"},
       {"6F1A3C52\u20260001", "6F1A3C52\u20260040", "6F1A3C52\u20261040"}},
      {"numbered past the tail's 4 characters",
       {"6F1A3C52-0B7E-4D2A-9C51-3E8F2B7D0001", "6F1A3C52-0B7E-4D2A-9C51-3E8F2B7E0001"},
       {"6F1A3C52\u2026D0001", "6F1A3C52\u2026E0001"}},
      {"apart only in the middle: the prefix that reaches it",
       {"6F1A3C52-0B7E-4D2A-9C51-3E8F2B7D0001", "6F1A3C52-0B7E-4D2B-9C51-3E8F2B7D0001"},
       {"6F1A3C52-0B7E-4D2A", "6F1A3C52-0B7E-4D2B"}},
      {"shorter than the least prefix", {"AB", "ABC"}, {"AB", "ABC"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto short_forms = abbreviate_identifiers(c.identifiers);
    EXPECT_EQ(short_forms, c.expected);
    EXPECT_EQ(std::set<std::string>(short_forms.begin(), short_forms.end()).size(),
              std::set<std::string>(c.identifiers.begin(), c.identifiers.end()).size());
  }
  EXPECT_TRUE(abbreviate_identifiers({}).empty());
}

}  // namespace
}  // namespace quillon::ota_tool
