// A GATT service as the central sees it (CoreBluetooth's CBService): its
// UUID and, once discovered, its characteristics.
#pragma once

#include <memory>
#include <optional>
#include <vector>

#include "quillon/ble/cb_characteristic.h"
#include "quillon/ble/cb_uuid.h"

namespace quillon {

class CBPeripheral;
class CBService;

using CBServiceList = std::vector<std::shared_ptr<CBService>>;
using CBCharacteristicList = std::vector<std::shared_ptr<CBCharacteristic>>;

class CBService {
 public:
  explicit CBService(CBUUID uuid, std::weak_ptr<CBPeripheral> peripheral = {})
      : uuid_(std::move(uuid)), peripheral_(std::move(peripheral)) {}

  const CBUUID& UUID() const { return uuid_; }
  // Absent until characteristic discovery for this service has completed.
  const std::optional<CBCharacteristicList>& characteristics() const { return characteristics_; }
  std::shared_ptr<CBPeripheral> peripheral() const { return peripheral_.lock(); }

  // For platform backends: the discovered characteristics.
  void setCharacteristics(std::optional<CBCharacteristicList> characteristics) {
    characteristics_ = std::move(characteristics);
  }

 private:
  CBUUID uuid_;
  std::optional<CBCharacteristicList> characteristics_;
  std::weak_ptr<CBPeripheral> peripheral_;
};

}  // namespace quillon
