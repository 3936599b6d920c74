// The devices this host has met through BlueZ: each identifier with the
// address it stands for. bluetoothd forgets devices that were never paired:
// a temporary device goes as soon as its link ends (so right after every
// firmware update), and all of them when bluetoothd restarts. A host that
// retrieves a peripheral by identifier (CoreBluetooth's own database of
// known peripherals does this for iOS apps) then needs the address to find
// it again. Kept in a small text file when one is given ("IDENTIFIER
// ADDRESS" per line, the most recent 256), else in memory only. Main queue
// only.
#pragma once

#include <deque>
#include <filesystem>
#include <optional>
#include <string>

#include "quillon/ble/ns_uuid.h"

namespace quillon::bluez {

class KnownDevices {
 public:
  explicit KnownDevices(std::optional<std::filesystem::path> file);

  // Remembers a device; the file is rewritten only when something is new.
  void remember(const NSUUID& identifier, const std::string& address);
  // The address of a device met before; none if never met.
  std::optional<std::string> address(const NSUUID& identifier) const;

  static constexpr std::size_t kLimit = 256;

 private:
  void save() const;

  std::optional<std::filesystem::path> file_;
  std::deque<std::pair<std::string, std::string>> entries_;  // oldest first
};

}  // namespace quillon::bluez
