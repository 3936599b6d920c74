#include "quillon/dis/firmware_version.h"

#include <algorithm>

namespace quillon {
namespace {

bool isDigits(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool isIdentifier(std::string_view text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-';
  });
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const auto at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

std::string withoutLeadingZeros(std::string_view digits) {
  const auto first = digits.find_first_not_of('0');
  return first == std::string_view::npos ? std::string() : std::string(digits.substr(first));
}

// Numbers of any length, as digit strings without leading zeros.
int compareNumbers(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return a.compare(b) < 0 ? -1 : a == b ? 0 : 1;
}

// Semantic Versioning's order of two pre-release identifiers.
int compareIdentifiers(const std::string& a, const std::string& b) {
  const bool numericA = isDigits(a), numericB = isDigits(b);
  if (numericA && numericB) return compareNumbers(withoutLeadingZeros(a), withoutLeadingZeros(b));
  if (numericA != numericB) return numericA ? -1 : 1;
  return a < b ? -1 : a == b ? 0 : 1;
}

VersionOrder orderOf(int comparison) {
  return comparison < 0 ? VersionOrder::Older : comparison > 0 ? VersionOrder::Newer : VersionOrder::Same;
}

}  // namespace

std::optional<FirmwareVersion> FirmwareVersion::parse(std::string_view text) {
  if (!text.empty() && (text.front() == 'v' || text.front() == 'V')) text.remove_prefix(1);
  // Build metadata goes first: its identifiers may hold "-".
  if (const auto plus = text.find('+'); plus != std::string_view::npos) {
    for (auto part : split(text.substr(plus + 1), '.')) {
      if (!isIdentifier(part)) return std::nullopt;
    }
    text = text.substr(0, plus);
  }
  FirmwareVersion version;
  if (const auto dash = text.find('-'); dash != std::string_view::npos) {
    for (auto part : split(text.substr(dash + 1), '.')) {
      if (!isIdentifier(part)) return std::nullopt;
      version.prerelease_.emplace_back(part);
    }
    text = text.substr(0, dash);
  }
  for (auto part : split(text, '.')) {
    if (!isDigits(part)) return std::nullopt;
    version.numbers_.push_back(withoutLeadingZeros(part));
  }
  return version;
}

VersionOrder compare(const FirmwareVersion& a, const FirmwareVersion& b) {
  const std::size_t count = std::max(a.numbers_.size(), b.numbers_.size());
  for (std::size_t i = 0; i < count; ++i) {
    static const std::string kZero;
    const auto& x = i < a.numbers_.size() ? a.numbers_[i] : kZero;
    const auto& y = i < b.numbers_.size() ? b.numbers_[i] : kZero;
    if (const int c = compareNumbers(x, y); c != 0) return orderOf(c);
  }
  // A release is above its pre-releases.
  if (a.prerelease_.empty() || b.prerelease_.empty()) {
    return orderOf(a.prerelease_.empty() == b.prerelease_.empty() ? 0 : a.prerelease_.empty() ? 1 : -1);
  }
  const std::size_t common = std::min(a.prerelease_.size(), b.prerelease_.size());
  for (std::size_t i = 0; i < common; ++i) {
    if (const int c = compareIdentifiers(a.prerelease_[i], b.prerelease_[i]); c != 0) return orderOf(c);
  }
  return orderOf(a.prerelease_.size() < b.prerelease_.size() ? -1 : a.prerelease_.size() > b.prerelease_.size() ? 1 : 0);
}

VersionOrder compareFirmwareVersions(std::string_view a, std::string_view b) {
  const auto x = FirmwareVersion::parse(a);
  const auto y = FirmwareVersion::parse(b);
  if (x && y) return compare(*x, *y);
  return a == b ? VersionOrder::Same : VersionOrder::Different;
}

}  // namespace quillon
