#include "quillon/net/http_response_head.h"

#include <cctype>

namespace quillon {
namespace {

// The rest of `line` after `name` and its colon, or nothing if the line is
// not that header (names compare without regard to case).
std::optional<std::string_view> header_value(std::string_view line, std::string_view name) {
  if (line.size() <= name.size() || line[name.size()] != ':') return std::nullopt;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(line[i])) != std::tolower(static_cast<unsigned char>(name[i])))
      return std::nullopt;
  }
  std::string_view value = line.substr(name.size() + 1);
  while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
  while (!value.empty() && (value.back() == '\r' || value.back() == '\n' || value.back() == ' ' ||
                            value.back() == '\t'))
    value.remove_suffix(1);
  return value;
}

}  // namespace

void HttpResponseHead::take_line(std::string_view line) {
  if (line.size() >= 5 && (line.substr(0, 5) == "HTTP/" || line.substr(0, 5) == "http/")) {
    content_disposition_.reset();
    content_range_.reset();
  } else if (auto value = header_value(line, "Content-Disposition")) {
    content_disposition_ = std::string(*value);
  } else if (auto value = header_value(line, "Content-Range")) {
    content_range_ = std::string(*value);
  }
}

}  // namespace quillon
