#include "logic/radio_group.h"

namespace spoolrig {

std::vector<std::size_t> otherRadiosOfGroup(const std::vector<GroupedControl>& controls,
                                            std::size_t ticked) {
  std::vector<std::size_t> others;
  if (ticked >= controls.size()) return others;
  std::size_t first = ticked;
  while (first > 0 && !controls[first].startsGroup) --first;
  for (std::size_t i = first; i < controls.size(); ++i) {
    if (i != first && controls[i].startsGroup) break;
    if (i != ticked && controls[i].autoRadio) others.push_back(i);
  }
  return others;
}

}  // namespace spoolrig
