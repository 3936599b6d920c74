// What a firmware vendor states in a signature's trusted comment, as
// "key=value" words separated by blanks:
//   version=2.1.0 model=TPX-80
// `version` is the image's firmware version and `model` the module model it
// is built for (the module's Model Number). Other words (minisign's default
// "timestamp:... file:...", a vendor's own notes) are left alone.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillon {

struct TrustedCommentFields {
  std::optional<std::string> version;
  std::optional<std::string> model;

  friend bool operator==(const TrustedCommentFields&, const TrustedCommentFields&) = default;
};

// The fields of `comment`. Nothing when a field is given twice or empty: a
// comment that says two things about the version says nothing reliable.
std::optional<TrustedCommentFields> parse_trusted_comment_fields(std::string_view comment);

}  // namespace quillon
