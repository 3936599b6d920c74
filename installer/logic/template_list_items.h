// The initial items that a dialog template carries for its drop-down lists.
// A window layer adds them, in this order and unsorted, after creating the
// controls and before the dialog's own initialisation runs, so that list
// positions equal the catalogue's row numbers.
#pragma once

#include <span>
#include <vector>

namespace spoolrig {

struct TemplateList {
  int controlId;
  std::vector<const char*> items;  // position 0 first
};

// The lists of template `templateId`, in template order; empty for a
// template without list items.
std::span<const TemplateList> templateListItems(int templateId);

}  // namespace spoolrig
