#include "quillon/net/image_download_check.h"

#include <charconv>
#include <cstdio>

namespace quillon {
namespace {

// A run of decimal digits at the front of `text`, taken off it.
std::optional<std::int64_t> take_number(std::string_view& text) {
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end == text.data() || value < 0 || text.front() == '-' || text.front() == '+')
    return std::nullopt;
  text.remove_prefix(static_cast<std::size_t>(end - text.data()));
  return value;
}

bool take(std::string_view& text, char c) {
  if (text.empty() || text.front() != c) return false;
  text.remove_prefix(1);
  return true;
}

std::string format(const char* pattern, long long a, long long b) {
  char text[96];
  std::snprintf(text, sizeof text, pattern, a, b);
  return text;
}

}  // namespace

std::optional<ContentRange> parse_content_range(std::string_view value) {
  constexpr std::string_view kUnit = "bytes ";
  if (value.substr(0, kUnit.size()) != kUnit) return std::nullopt;
  value.remove_prefix(kUnit.size());
  while (take(value, ' ')) {
  }
  ContentRange range;
  const auto first = take_number(value);
  if (!first || !take(value, '-')) return std::nullopt;
  const auto last = take_number(value);
  if (!last || *last < *first || !take(value, '/')) return std::nullopt;
  range.first = *first;
  range.last = *last;
  if (take(value, '*')) {
    range.complete = -1;
  } else {
    const auto complete = take_number(value);
    if (!complete || *complete <= *last) return std::nullopt;
    range.complete = *complete;
  }
  if (!value.empty()) return std::nullopt;
  return range;
}

std::optional<std::string> ImageDownloadCheck::response(const HttpResponse& response) {
  received_ = 0;
  expected_ = response.expected_content_length < 0 ? -1 : response.expected_content_length;
  if (response.status_code == 200) return std::nullopt;
  if (response.status_code != 206) return "HTTP status " + std::to_string(response.status_code);
  const auto range = response.content_range ? parse_content_range(*response.content_range) : std::nullopt;
  if (!range || range->first != 0 || range->complete < 0 || range->last != range->complete - 1) {
    return "HTTP status 206 for part of the image (Content-Range: " +
           (response.content_range ? *response.content_range : std::string("none")) + ")";
  }
  if (expected_ >= 0 && expected_ != range->complete) {
    return format("HTTP status 206 announcing %lld bytes for an image of %lld", expected_, range->complete);
  }
  // A body without Content-Length (chunked) must still bring the whole range.
  expected_ = range->complete;
  return std::nullopt;
}

std::optional<std::string> ImageDownloadCheck::finish() const {
  if (expected_ < 0 || received_ == expected_) return std::nullopt;
  if (received_ > expected_) return format("body of %lld bytes where %lld were announced", received_, expected_);
  return format("body ended after %lld of %lld bytes", received_, expected_);
}

}  // namespace quillon
