// The GATT name table: from a UUID's text form (CBUUID UUIDString) to a
// readable name, for apps that list services and characteristics. Keeps
// insertion order, so the table reads back as it was written.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace quillon {

class UuidDictionary {
 public:
  using Entry = std::pair<std::string, std::string>;

  // Stores `description` under `key`; an existing key keeps its place.
  void set(const std::string& key, const std::string& description);
  // The description stored under exactly `key` (case-sensitive, no trimming).
  std::optional<std::string> find(std::string_view key) const;
  std::size_t size() const { return entries_.size(); }
  // Every entry, in insertion order.
  const std::vector<Entry>& entries() const { return entries_; }

 private:
  std::vector<Entry> entries_;
  std::map<std::string, std::size_t, std::less<>> index_;
};

// The names the library knows: Bluetooth SIG services, three blood-pressure
// characteristics, and the printer module's data and OTA services with their
// characteristics, in 16-bit and 128-bit forms.
const std::vector<UuidDictionary::Entry>& gattNameEntries();

}  // namespace quillon
