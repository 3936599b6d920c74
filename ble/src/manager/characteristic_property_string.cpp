#include "quillon/manager/characteristic_property_string.h"

#include <utility>

namespace quillon {

std::string characteristicPropertyString(CBCharacteristicProperties properties) {
  // Display order, not bit order: apps list the encryption-required words
  // right after Indicate.
  static constexpr std::pair<CBCharacteristicProperties, const char*> kWords[] = {
      {CBCharacteristicPropertyBroadcast, "Broadcast"},
      {CBCharacteristicPropertyRead, "Read"},
      {CBCharacteristicPropertyWriteWithoutResponse, "Write Without Response"},
      {CBCharacteristicPropertyWrite, "Write"},
      {CBCharacteristicPropertyNotify, "Notify"},
      {CBCharacteristicPropertyIndicate, "Indicate"},
      {CBCharacteristicPropertyNotifyEncryptionRequired, "Notify Encryption Required"},
      {CBCharacteristicPropertyIndicateEncryptionRequired, "Indicate Encryption Required"},
      {CBCharacteristicPropertyAuthenticatedSignedWrites, "Authenticated Signed Writes"},
      {CBCharacteristicPropertyExtendedProperties, "Extended Properties"},
  };
  std::string text;
  for (const auto& [bit, word] : kWords) {
    if ((properties & bit) == 0) continue;
    if (!text.empty()) text += ',';
    text += word;
  }
  return text;
}

}  // namespace quillon
