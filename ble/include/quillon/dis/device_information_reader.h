// Reads what a connected module says it is: the strings of its Device
// Information service (180A), over any backend.
//
// Contract: read() starts on a connected peripheral and calls `done` exactly
// once, on the peripheral's queue and never inside read(), at the latest
// when the time bound is up. Each characteristic the module offers and lets
// itself be read yields a value; one it does not offer is simply absent;
// one it refuses is listed with the module's error and the others are read
// all the same. A module without the service is no failure (many have none).
// A module may offer the service more than once (a BlueZ host adds its own,
// with only the PnP ID): every instance is looked at, and of a string
// offered twice the first instance's counts.
// Reading never writes to the module and never changes its link: the caller
// connects before and disconnects after.
//
// Events reach the reader as they reach any handler: put it in
// BLEManager::bleServices() while it reads (it ignores other peripherals'
// events), or make it the peripheral's delegate. The caller tells it of a
// disconnection with linkLost(), which ends the read at once.
//
// Threads: the queue's thread only (BLEManager's main thread).
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "quillon/ble/cb_peripheral.h"
#include "quillon/dis/device_information.h"
#include "quillon/manager/ble_service_handler.h"
#include "quillon/platform/run_loop.h"

namespace quillon {

// What one read gave: the values, and how it ended.
struct DeviceInformationReadResult {
  enum class Ending {
    Complete,         // every offered characteristic was tried
    NoService,        // the module offers no Device Information service
    DiscoveryFailed,  // the services or characteristics could not be discovered (`error`)
    TimedOut,         // the time bound was up first; `values` holds what came before
    LinkLost,         // the link went down first (`error`, when the platform gave one)
  };
  Ending ending = Ending::Complete;
  std::map<DeviceInformationField, DeviceInformationText> values;
  // Offered characteristics whose read the module refused, in the order tried.
  std::vector<std::pair<DeviceInformationField, NSError>> refused;
  std::optional<NSError> error;

  // The value of `field`, if it was read.
  const DeviceInformationText* find(DeviceInformationField field) const {
    auto it = values.find(field);
    return it == values.end() ? nullptr : &it->second;
  }
};

class DeviceInformationReader final : public BLEServiceHandler,
                                      public CBPeripheralDelegate,
                                      public std::enable_shared_from_this<DeviceInformationReader> {
 public:
  using Completion = std::function<void(const DeviceInformationReadResult&)>;

  // `queue` is the one the peripheral's events arrive on.
  static std::shared_ptr<DeviceInformationReader> create(std::shared_ptr<RunLoop> queue);

  // Reads `peripheral`'s Device Information within `timeout`; see the
  // contract above. One read at a time: a second call while one runs ends
  // the first as LinkLost first.
  void read(std::shared_ptr<CBPeripheral> peripheral, std::chrono::milliseconds timeout, Completion done);
  // The link to the peripheral being read went down.
  void linkLost(const std::optional<NSError>& error);
  bool reading() const { return peripheral_ != nullptr; }

  // The peripheral's GATT events (BLEServiceHandler and CBPeripheralDelegate alike).
  void peripheral_didDiscoverServices(const std::shared_ptr<CBPeripheral>& peripheral,
                                      const std::optional<NSError>& error) override;
  void peripheral_didDiscoverCharacteristicsForService_error(const std::shared_ptr<CBPeripheral>& peripheral,
                                                             const std::shared_ptr<CBService>& service,
                                                             const std::optional<NSError>& error) override;
  void peripheral_didUpdateValueForCharacteristic_error(const std::shared_ptr<CBPeripheral>& peripheral,
                                                        const std::shared_ptr<CBCharacteristic>& characteristic,
                                                        const std::optional<NSError>& error) override;
  void peripheral_didWriteValueForCharacteristic_error(const std::shared_ptr<CBPeripheral>&,
                                                       const std::shared_ptr<CBCharacteristic>&,
                                                       const std::optional<NSError>&) override {}

 private:
  explicit DeviceInformationReader(std::shared_ptr<RunLoop> queue) : queue_(std::move(queue)) {}
  std::vector<std::shared_ptr<CBService>> services() const;
  void discoverCharacteristics(const std::vector<std::shared_ptr<CBService>>& services);
  void collect();
  void readNext();
  void finish(DeviceInformationReadResult::Ending ending, std::optional<NSError> error = std::nullopt);

  std::shared_ptr<RunLoop> queue_;
  std::shared_ptr<CBPeripheral> peripheral_;
  Completion done_;
  DeviceInformationReadResult result_;
  std::vector<std::shared_ptr<CBService>> awaited_;  // characteristic discoveries not answered yet
  std::optional<NSError> discoveryError_;
  std::vector<std::shared_ptr<CBCharacteristic>> toRead_;
  bool askedServices_ = false;
  bool collected_ = false;
  std::shared_ptr<CBCharacteristic> inFlight_;
  std::uint64_t generation_ = 0;  // tells a stale time-out from the current read's
};

}  // namespace quillon
