#include "quillon/sim/sim_data_module.h"

namespace quillon::sim {

SimDataModule::SimDataModule(SimDataModuleConfig config)
    : SimDevice(SimDeviceConfig{.identifier = config.identifier,
                                .name = config.name,
                                // Both services, so an updater can find the module by its OTA service.
                                .advertisedServices = {kDataServiceUUID, kOtaServiceUUID},
                                .manufacturerData = std::nullopt,
                                .serviceData = config.serviceData,
                                .rssi = config.rssi,
                                .advertisingInterval = std::chrono::milliseconds(100),
                                .advertising = true,
                                .acceptsConnections = true,
                                .attMtu = config.attMtu}),
      ota_(config.ota) {
  addService({kDataServiceUUID,
              {{kDataNotifyUUID, CBCharacteristicPropertyNotify, {}},
               {kDataWriteUUID, CBCharacteristicPropertyWrite | CBCharacteristicPropertyWriteWithoutResponse, {}},
               {kFlowControlUUID, CBCharacteristicPropertyRead | CBCharacteristicPropertyNotify, {0x01}}}});
  addService({kOtaServiceUUID,
              {{kOtaUUID, CBCharacteristicPropertyWriteWithoutResponse | CBCharacteristicPropertyNotify, {}}}});

  setWriteHandler(kDataWriteUUID, [this](const NSData& bytes, CBCharacteristicWriteType) {
    receivedData_.insert(receivedData_.end(), bytes.begin(), bytes.end());
  });
  // Every chunk the OTA module answers with goes back as one notification.
  ota_.set_output([this](std::vector<std::uint8_t> chunk) { notify(kOtaUUID, chunk); });
  setWriteHandler(kOtaUUID, [this](const NSData& bytes, CBCharacteristicWriteType) { ota_.receive(bytes); });
}

}  // namespace quillon::sim
