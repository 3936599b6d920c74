// Dual-mode devices: bluetoothd takes a device with a public address whose
// advertisement does not say "BR/EDR Not Supported", or that it met over
// BR/EDR (it has a Class), for dual-mode, and its Connect may then choose
// BR/EDR (the bearer bonded, or seen last), where a module offers no GATT
// service.
#pragma once

#include "bluez_object_tree.h"

namespace quillon::bluez {

inline bool dualMode(const Properties* device) {
  if (!device || property<std::string>(device, "AddressType").value_or("public") != "public") return false;
  if (property<std::int64_t>(device, "Class")) return true;
  const auto flags = property<Bytes>(device, "AdvertisingFlags");
  return flags && !flags->empty() && !((*flags)[0] & 0x04);
}

// Appended to a failed connection's reason where the link may have been BR/EDR.
inline constexpr char kDualModeAdvice[] =
    " The module is a dual-mode device (a public address, and it does not advertise \"BR/EDR Not "
    "Supported\"), so bluetoothd may have connected it over classic Bluetooth (BR/EDR), where its GATT "
    "services are not offered. bluetoothd 5.80 or later connects it over LE (the backend sets PreferredBearer "
    "to \"le\"); with an older bluetoothd, remove the module's classic pairing.";

}  // namespace quillon::bluez
