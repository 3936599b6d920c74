// Why a BLEOTAController could not hand the module its image: the download
// failed or was refused, the image could not be read, it ended before its
// announced length, or it is not the image the host expects. The log line
// says it to people; a caller decides from `reason`, never from the words.
#pragma once

#include <string>

namespace quillon {

enum class ImageFailureReason {
  // The download failed, was refused (status, a partial body, a short
  // body) or could not be stored in the cache folder.
  DownloadFailed,
  // There is no image, or it could not be positioned or read.
  ImageUnreadable,
  // The image ended before the length it announced.
  ImageEndedEarly,
  // The complete image's SHA-256 is not the expected one (or it could not
  // be read to its end to compute one).
  DigestMismatch,
};

struct ImageFailure {
  ImageFailureReason reason;
  // The log line that said why, word for word ("download failed: ...",
  // "image ended after 10 of 20 bytes", "image digest mismatch: ...").
  std::string message;
  // What the line says after naming the reason: for DigestMismatch
  // "expected <hex>, got <hex>"; for the others the whole message.
  std::string detail;
};

}  // namespace quillon
