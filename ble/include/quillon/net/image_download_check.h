// Whether a download's response and body make a whole firmware image. Pure:
// the controller feeds it the response head, the body's piece sizes and the
// end of the body, and acts on its answers; the fuzzer feeds it anything.
//
// The image is always asked for whole ("Range: bytes=0-"), so a response is
// the image only with status 200, or with 206 and a Content-Range of
// "bytes 0-(N-1)/N": a 206 for any other range is part of an image, and an
// unknown complete length ("*") could be one. The body must then bring
// exactly the announced length (or, with none announced, whatever came).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "quillon/net/http_client.h"

namespace quillon {

// "bytes first-last/complete"; complete is -1 for "*".
struct ContentRange {
  std::int64_t first = 0;
  std::int64_t last = 0;
  std::int64_t complete = -1;
};

// The byte range of a Content-Range value, or nothing if it is not one
// (an unsatisfied "bytes */N", a unit other than bytes, last < first, ...).
std::optional<ContentRange> parse_content_range(std::string_view value);

class ImageDownloadCheck {
 public:
  // A new response head: starts the body's count afresh. Nothing when its
  // body may be the image, else why not (e.g. "HTTP status 404").
  std::optional<std::string> response(const HttpResponse& response);

  // `length` more body bytes arrived.
  void body(std::uint64_t length) { received_ += static_cast<std::int64_t>(length); }

  // The body is complete: nothing when it is the whole image, else why not
  // (e.g. "body ended after 10 of 20 bytes").
  std::optional<std::string> finish() const;

  // The image length the response announced, or -1 when it announced none.
  std::int64_t expected_length() const { return expected_; }
  // Body bytes counted since the response.
  std::int64_t received_length() const { return received_; }

 private:
  std::int64_t expected_ = -1;
  std::int64_t received_ = 0;
};

}  // namespace quillon
