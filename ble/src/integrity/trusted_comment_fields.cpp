#include "quillon/integrity/trusted_comment_fields.h"

#include <algorithm>

namespace quillon {

std::optional<TrustedCommentFields> parse_trusted_comment_fields(std::string_view comment) {
  TrustedCommentFields fields;
  constexpr std::string_view kBlanks = " \t";
  std::size_t pos = 0;
  while ((pos = comment.find_first_not_of(kBlanks, pos)) != std::string_view::npos) {
    const std::size_t end = std::min(comment.find_first_of(kBlanks, pos), comment.size());
    const std::string_view word = comment.substr(pos, end - pos);
    pos = end;
    std::optional<std::string>* field = nullptr;
    std::string_view value;
    if (word.starts_with("version=")) {
      field = &fields.version;
      value = word.substr(8);
    } else if (word.starts_with("model=")) {
      field = &fields.model;
      value = word.substr(6);
    } else {
      continue;
    }
    if (field->has_value() || value.empty()) return std::nullopt;
    *field = std::string(value);
  }
  return fields;
}

}  // namespace quillon
