// BLEOTAController's opt-in image check: the complete image must have the
// digest the host expects before the transfer may start.
#include "quillon/ota/ble_ota_controller.h"

namespace quillon {

bool BLEOTAController::image_digest_accepted() {
  if (!expected_sha256_) return true;
  image_sha256_ = file_write_handle_ ? sha256_of_image(*file_write_handle_) : std::nullopt;
  if (image_sha256_ == expected_sha256_) return true;
  std::string detail = "expected " + expected_sha256_->hex() + ", got " +
                       (image_sha256_ ? image_sha256_->hex() : "no digest (the image cannot be read to its end)");
  note_failure(ImageFailureReason::DigestMismatch, "image digest mismatch: " + detail, detail);
  return false;
}

void BLEOTAController::note_failure(ImageFailureReason reason, std::string message, std::string detail) {
  platform_.log->line(message);
  if (detail.empty()) detail = message;
  image_failure_ = ImageFailure{reason, std::move(message), std::move(detail)};
}

}  // namespace quillon
