// BLEOTAController's opt-in image check: the complete image must have the
// digest the host expects before the transfer may start.
#include "quillon/ota/ble_ota_controller.h"

namespace quillon {

bool BLEOTAController::image_digest_accepted() {
  if (!expected_sha256_) return true;
  image_sha256_ = file_write_handle_ ? sha256_of_image(*file_write_handle_) : std::nullopt;
  if (image_sha256_ == expected_sha256_) return true;
  platform_.log->logf("image digest mismatch: expected %s, got %s", expected_sha256_->hex().c_str(),
                      image_sha256_ ? image_sha256_->hex().c_str() : "no digest (the image cannot be read to its end)");
  return false;
}

}  // namespace quillon
