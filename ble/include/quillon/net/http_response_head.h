// The header lines of an HTTP response as they arrive, one call per line,
// reduced to the headers the download needs. Pure: no I/O, so that the
// parsing can be fuzzed and tested without a server.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillon {

class HttpResponseHead {
 public:
  // Takes one header line (with or without its CR LF). A status line opens
  // the head of a new response (after a redirect or a 100 Continue), whose
  // headers replace those seen so far.
  void take_line(std::string_view line);

  // The values, trimmed, of the last such header of the current response.
  const std::optional<std::string>& content_disposition() const { return content_disposition_; }
  const std::optional<std::string>& content_range() const { return content_range_; }

 private:
  std::optional<std::string> content_disposition_;
  std::optional<std::string> content_range_;
};

}  // namespace quillon
