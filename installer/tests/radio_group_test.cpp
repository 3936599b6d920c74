// The radio group that a tick set from code clears: bounded by the group's
// own controls, whatever the state of its buttons.

#include <gtest/gtest.h>

#include <vector>

#include "logic/radio_group.h"

namespace spoolrig {
namespace {

using Positions = std::vector<std::size_t>;

TEST(RadioGroupTest, OthersAreTheAutoRadiosBetweenTwoGroupStarts) {
  constexpr GroupedControl start{true, false}, radio{false, true}, startRadio{true, true},
      other{false, false};
  // Select OS: a group box starts the one group that holds every radio,
  // with push buttons between them and an icon at the end.
  const std::vector<GroupedControl> selectOs = {start, radio, radio, other, other,
                                                radio, radio, radio, other};
  EXPECT_EQ((Positions{1, 2, 6, 7}), otherRadiosOfGroup(selectOs, 5));
  EXPECT_EQ((Positions{2, 5, 6, 7}), otherRadiosOfGroup(selectOs, 1));

  // Two groups, the second started by a radio button itself; controls before
  // the first group start are a group of their own.
  const std::vector<GroupedControl> two = {radio, radio, start, radio, startRadio, radio, other};
  EXPECT_EQ((Positions{5}), otherRadiosOfGroup(two, 4));
  EXPECT_EQ((Positions{4}), otherRadiosOfGroup(two, 5));
  EXPECT_EQ((Positions{}), otherRadiosOfGroup(two, 3));
  EXPECT_EQ((Positions{1}), otherRadiosOfGroup(two, 0));

  EXPECT_EQ((Positions{}), otherRadiosOfGroup(two, two.size()));
}

}  // namespace
}  // namespace spoolrig
