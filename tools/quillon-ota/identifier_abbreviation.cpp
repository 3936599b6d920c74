#include "identifier_abbreviation.h"

#include <algorithm>
#include <functional>
#include <optional>
#include <set>

namespace quillon::ota_tool {
namespace {

constexpr std::size_t kMinPrefix = 8;
constexpr std::size_t kMinTail = 4;
constexpr const char* kEllipsis = "\xe2\x80\xa6";  // "…", one column

// The shortest `n` from `from` for which `form(identifier, n)` tells every
// identifier apart, or nothing when even `limit` does not.
std::optional<std::size_t> shortest_unique(const std::set<std::string>& identifiers, std::size_t from,
                                           std::size_t limit,
                                           const std::function<std::string(const std::string&, std::size_t)>& form) {
  for (std::size_t n = from; n <= limit; ++n) {
    std::set<std::string> forms;
    for (const auto& identifier : identifiers) forms.insert(form(identifier, n));
    if (forms.size() == identifiers.size()) return n;
  }
  return std::nullopt;
}

}  // namespace

std::vector<std::string> abbreviate_identifiers(const std::vector<std::string>& identifiers) {
  const std::set<std::string> distinct(identifiers.begin(), identifiers.end());
  std::size_t longest = 0;
  for (const auto& identifier : distinct) longest = std::max(longest, identifier.size());

  const auto prefix = [](const std::string& identifier, std::size_t n) { return identifier.substr(0, n); };
  const auto head_and_tail = [](const std::string& identifier, std::size_t n) {
    // Short enough already: the whole text tells it apart best.
    if (kMinPrefix + n >= identifier.size()) return identifier;
    return identifier.substr(0, kMinPrefix) + kEllipsis + identifier.substr(identifier.size() - n);
  };
  const auto prefix_length = shortest_unique(distinct, kMinPrefix, longest, prefix);
  const auto tail_length = shortest_unique(distinct, kMinTail, longest, head_and_tail);
  // The head, "…" and the tail take kMinPrefix + 1 + tail columns.
  const bool use_tail = tail_length && (!prefix_length || kMinPrefix + 1 + *tail_length < *prefix_length);

  std::vector<std::string> short_forms;
  for (const auto& identifier : identifiers) {
    if (use_tail) {
      short_forms.push_back(head_and_tail(identifier, *tail_length));
    } else if (prefix_length) {
      short_forms.push_back(prefix(identifier, *prefix_length));
    } else {
      short_forms.push_back(identifier);
    }
  }
  return short_forms;
}

}  // namespace quillon::ota_tool
