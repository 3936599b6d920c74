#include "quillon/manager/ble_advertisement_data.h"

namespace quillon {

std::shared_ptr<BLEAdvertisementData> BLEAdvertisementData::bleAdvertisementDatWithDictionary(
    const AdvertisementDictionary& dictionary) {
  return std::make_shared<BLEAdvertisementData>(dictionary);
}

}  // namespace quillon
