// Fuzzes what the download makes of a server's answer: the header lines
// (HttpResponseHead), the suggested file name, the Content-Range parse and
// ImageDownloadCheck's verdicts on the response and on the body's length.
// Whatever the bytes, a verdict of "whole image" must be one: status 200, or
// 206 whose range is the whole resource, and then a body of exactly the
// announced length.
//
// Input: bytes 0-1 status (little-endian, taken modulo 1000), byte 2 flags
// (bit 0: a Content-Length is announced), bytes 3-6 the announced length
// (little-endian); then header lines, each ended by '\n', up to an empty
// line; then the body's piece sizes, two bytes each (little-endian).
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "quillon/net/http_response_head.h"
#include "quillon/net/image_download_check.h"
#include "quillon/net/suggested_file_name.h"

namespace {

using namespace quillon;

void check_name(const std::string& name) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
      name.find('\0') != std::string::npos || name.size() > 255) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 7) return 0;
  const int status = (data[0] | (data[1] << 8)) % 1000;
  const bool announced = data[2] & 1;
  const std::int64_t length = static_cast<std::int64_t>(static_cast<std::uint32_t>(
      data[3] | (data[4] << 8) | (data[5] << 16) | (static_cast<std::uint32_t>(data[6]) << 24)));

  const std::string_view text(reinterpret_cast<const char*>(data) + 7, size - 7);
  HttpResponseHead head;
  head.take_line("HTTP/1.1 " + std::to_string(status) + " Whatever\r\n");
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t end = text.find('\n', pos);
    const std::string_view line = text.substr(pos, end == std::string_view::npos ? text.size() - pos : end - pos + 1);
    pos += line.size();
    if (line == "\n" || line == "\r\n") break;
    head.take_line(line);
  }

  HttpResponse response;
  response.status_code = status;
  response.expected_content_length = announced ? length : -1;
  response.content_range = head.content_range();
  const auto& disposition = head.content_disposition();
  response.suggested_filename = suggested_file_name(
      disposition ? std::optional<std::string_view>(*disposition) : std::nullopt, "http://127.0.0.1/fw/image.bin");
  check_name(response.suggested_filename);

  ImageDownloadCheck check;
  const bool accepted = !check.response(response).has_value();
  if (accepted) {
    if (status != 200 && status != 206) std::abort();
    if (status == 206) {
      const auto range = parse_content_range(*response.content_range);
      if (!range || range->first != 0 || range->last + 1 != range->complete) std::abort();
      if (check.expected_length() != range->complete) std::abort();
    } else if (check.expected_length() != response.expected_content_length) {
      std::abort();
    }
  }
  if (response.content_range) {
    if (const auto range = parse_content_range(*response.content_range)) {
      if (range->first < 0 || range->last < range->first) std::abort();
      if (range->complete != -1 && range->complete <= range->last) std::abort();
    }
  }

  std::int64_t received = 0;
  for (; pos + 1 < text.size(); pos += 2) {
    const auto piece = static_cast<std::uint64_t>(static_cast<std::uint8_t>(text[pos]) |
                                                  (static_cast<std::uint8_t>(text[pos + 1]) << 8));
    check.body(piece);
    received += static_cast<std::int64_t>(piece);
  }
  if (check.received_length() != received) std::abort();
  const bool whole = !check.finish().has_value();
  if (whole && check.expected_length() >= 0 && received != check.expected_length()) std::abort();
  if (!whole && (check.expected_length() < 0 || received == check.expected_length())) std::abort();
  return 0;
}
