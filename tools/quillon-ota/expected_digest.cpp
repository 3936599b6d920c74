#include "expected_digest.h"

#include <array>
#include <optional>
#include <cstdint>
#include <sstream>

#include "quillon/platform/posix_file_image_handle.h"

namespace quillon::ota_tool {
namespace {

constexpr std::size_t kMaxSumsFileBytes = 1 << 20;

std::string_view last_segment(std::string_view path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// sha256sum escapes "\" and newline in names, and marks such lines with a
// leading "\".
std::string unescape(std::string_view name) {
  std::string out;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '\\' && i + 1 < name.size()) {
      ++i;
      out.push_back(name[i] == 'n' ? '\n' : name[i]);
    } else {
      out.push_back(name[i]);
    }
  }
  return out;
}

struct Listed {
  std::string_view hex;
  std::string name;
};

// One line of a sums file, or nothing for a line of another shape.
std::optional<Listed> parse_line(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  bool escaped = false;
  if (line.starts_with("SHA256 (")) {
    const auto close = line.rfind(") = ");
    if (close == std::string_view::npos || close < 8) return std::nullopt;
    return Listed{line.substr(close + 4), std::string(line.substr(8, close - 8))};
  }
  if (line.starts_with('\\')) {
    escaped = true;
    line.remove_prefix(1);
  }
  if (line.size() < 67 || line[64] != ' ' || (line[65] != ' ' && line[65] != '*')) return std::nullopt;
  const auto name = line.substr(66);
  return Listed{line.substr(0, 64), escaped ? unescape(name) : std::string(name)};
}

}  // namespace

std::string image_name_of(std::string_view image, bool is_url) {
  if (is_url) {
    if (const auto scheme = image.find("://"); scheme != std::string_view::npos) image.remove_prefix(scheme + 3);
    image = image.substr(0, image.find_first_of("?#"));
    // Without a path after the host, there is no name to look up.
    if (image.find('/') == std::string_view::npos) return "";
  }
  return std::string(last_segment(image));
}

std::variant<Sha256Digest, std::string> digest_listed_for(std::string_view sums, std::string_view name) {
  std::optional<Sha256Digest> found;
  std::istringstream lines{std::string(sums)};
  for (std::string line; std::getline(lines, line);) {
    const auto listed = parse_line(line);
    if (!listed || name.empty() || last_segment(listed->name) != name) continue;
    const auto digest = Sha256Digest::from_hex(listed->hex);
    if (!digest) return "the line for '" + std::string(name) + "' has no SHA-256 digest";
    if (found && *found != *digest) return "two different digests are listed for '" + std::string(name) + "'";
    found = digest;
  }
  if (!found) return "no SHA-256 digest is listed for '" + std::string(name) + "'";
  return *found;
}

std::variant<Sha256Digest, std::string> expected_digest(const std::string& argument, std::string_view image,
                                                        bool is_url) {
  if (auto digest = Sha256Digest::from_hex(argument)) return *digest;
  // Opened like an image: a FIFO or device given by mistake fails at once.
  std::string why_not;
  const auto file = PosixFileImageHandle::open_for_reading(argument, &why_not);
  if (!file->is_open()) {
    return "--sha256 " + argument + ": neither 64 hexadecimal digits nor a readable file (" + why_not + ")";
  }
  std::string sums;
  std::array<std::uint8_t, 4096> piece;
  for (;;) {
    const std::optional<std::size_t> got = file->read(piece);
    if (!got) return "--sha256 " + argument + ": cannot be read";
    if (*got == 0) break;
    sums.append(reinterpret_cast<const char*>(piece.data()), *got);
    if (sums.size() > kMaxSumsFileBytes) return "--sha256 " + argument + ": too large for a list of digests";
  }
  auto listed = digest_listed_for(sums, image_name_of(image, is_url));
  if (auto* error = std::get_if<std::string>(&listed)) return "--sha256 " + argument + ": " + *error;
  return listed;
}

}  // namespace quillon::ota_tool
