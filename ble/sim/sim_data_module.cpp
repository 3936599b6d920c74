#include "quillon/sim/sim_data_module.h"

#include "quillon/ota/ota_codes.h"

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
  if (!config.deviceInformation.empty()) {
    SimGattService information{kDeviceInformationServiceUUID, {}};
    for (const auto& [field, bytes] : config.deviceInformation) {
      information.characteristics.push_back({characteristicUUIDOf(field), CBCharacteristicPropertyRead, bytes});
    }
    addService(std::move(information));
  }
  setWriteHandler(kOtaUUID, [this](const NSData& bytes, CBCharacteristicWriteType) { otaWritten(bytes); });
}

void SimDataModule::otaWritten(const NSData& bytes) {
  sentVersion_.hostPacket(bytes);
  const auto endsBefore = ota_.ends_received();
  ota_.receive(bytes);
  if (ota_.ends_received() == endsBefore || ota_.verdict() != OTA_SUCCESS) return;
  // The new image runs: a module that offered its revision, or an image
  // that names its version, reports that version from now on.
  const std::string version = sentVersion_.version();
  if (!findService(kDeviceInformationServiceUUID) && version.empty()) return;
  addCharacteristic(kDeviceInformationServiceUUID,
                    {characteristicUUIDOf(DeviceInformationField::FirmwareRevision), CBCharacteristicPropertyRead,
                     NSData(version.begin(), version.end())});
}

}  // namespace quillon::sim
