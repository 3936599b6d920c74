#include "quillon/manager/uuid_dictionary.h"

namespace quillon {

void UuidDictionary::set(const std::string& key, const std::string& description) {
  auto it = index_.find(key);
  if (it != index_.end()) {
    entries_[it->second].second = description;
    return;
  }
  index_.emplace(key, entries_.size());
  entries_.emplace_back(key, description);
}

std::optional<std::string> UuidDictionary::find(std::string_view key) const {
  auto it = index_.find(key);
  if (it == index_.end()) return std::nullopt;
  return entries_[it->second].second;
}

}  // namespace quillon
