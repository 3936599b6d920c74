#include "bluez_known_devices.h"

#include <algorithm>
#include <fstream>
#include <system_error>

namespace quillon::bluez {

KnownDevices::KnownDevices(std::optional<std::filesystem::path> file) : file_(std::move(file)) {
  if (!file_) return;
  std::ifstream in(*file_);
  std::string identifier, address;
  while (in >> identifier >> address) {
    if (NSUUID::initWithUUIDString(identifier) && address.size() == 17) entries_.emplace_back(identifier, address);
  }
  while (entries_.size() > kLimit) entries_.pop_front();
}

void KnownDevices::remember(const NSUUID& identifier, const std::string& address) {
  const std::string key = identifier.UUIDString();
  auto it = std::find_if(entries_.begin(), entries_.end(), [&](const auto& entry) { return entry.first == key; });
  if (it != entries_.end()) {
    if (it->second == address) return;
    entries_.erase(it);
  }
  entries_.emplace_back(key, address);
  if (entries_.size() > kLimit) entries_.pop_front();
  save();
}

std::optional<std::string> KnownDevices::address(const NSUUID& identifier) const {
  const std::string key = identifier.UUIDString();
  for (const auto& [known, address] : entries_) {
    if (known == key) return address;
  }
  return std::nullopt;
}

// Written whole to a new file that then replaces the old, so that a
// crash never leaves half a list. Failing to save loses only the memory.
void KnownDevices::save() const {
  if (!file_) return;
  std::error_code ec;
  if (file_->has_parent_path()) std::filesystem::create_directories(file_->parent_path(), ec);
  auto temp = *file_;
  temp += ".new";
  {
    std::ofstream out(temp, std::ios::trunc);
    for (const auto& [identifier, address] : entries_) out << identifier << ' ' << address << '\n';
    if (!out) return;
  }
  std::filesystem::rename(temp, *file_, ec);
}

}  // namespace quillon::bluez
