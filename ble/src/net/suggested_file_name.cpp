#include "quillon/net/suggested_file_name.h"

#include <cctype>

namespace quillon {
namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim_blanks(std::string_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

bool equals_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Malformed escapes are kept as they stand rather than rejected: the result
// is sanitised anyway, and a name with a stray '%' is still a usable name.
std::string percent_decode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      const int high = hex_value(text[i + 1]);
      const int low = hex_value(text[i + 2]);
      if (high >= 0 && low >= 0) {
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
        continue;
      }
    }
    out.push_back(text[i]);
  }
  return out;
}

// RFC 5987 ext-value: charset'language'percent-encoded. Only UTF-8 is taken;
// other charsets leave the plain filename parameter to do the job.
std::optional<std::string> decode_ext_value(std::string_view value) {
  const auto first = value.find('\'');
  if (first == std::string_view::npos) return std::nullopt;
  const auto second = value.find('\'', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  if (!equals_ignoring_case(value.substr(0, first), "utf-8")) return std::nullopt;
  return percent_decode(value.substr(second + 1));
}

}  // namespace

std::optional<std::string> content_disposition_filename(std::string_view header) {
  std::optional<std::string> plain;
  std::optional<std::string> extended;
  // Skip the disposition type ("attachment", "inline").
  std::size_t pos = header.find(';');
  while (pos != std::string_view::npos && pos < header.size()) {
    ++pos;  // past ';'
    while (pos < header.size() && is_blank(header[pos])) ++pos;
    const std::size_t name_end = header.find_first_of("=;", pos);
    if (name_end == std::string_view::npos || header[name_end] == ';') {
      pos = name_end;
      continue;
    }
    const std::string_view name = trim_blanks(header.substr(pos, name_end - pos));
    pos = name_end + 1;
    while (pos < header.size() && is_blank(header[pos])) ++pos;
    std::string value;
    if (pos < header.size() && header[pos] == '"') {
      ++pos;
      while (pos < header.size() && header[pos] != '"') {
        if (header[pos] == '\\' && pos + 1 < header.size()) ++pos;
        value.push_back(header[pos++]);
      }
      pos = header.find(';', pos);
    } else {
      const std::size_t value_end = header.find(';', pos);
      value = std::string(trim_blanks(header.substr(pos, value_end == std::string_view::npos
                                                             ? std::string_view::npos
                                                             : value_end - pos)));
      pos = value_end;
    }
    if (equals_ignoring_case(name, "filename")) {
      plain = std::move(value);
    } else if (equals_ignoring_case(name, "filename*")) {
      if (auto decoded = decode_ext_value(value)) extended = std::move(decoded);
    }
  }
  return extended ? extended : plain;
}

std::string url_last_path_segment(std::string_view url) {
  url = url.substr(0, url.find('#'));
  url = url.substr(0, url.find('?'));
  if (const auto scheme_end = url.find("://"); scheme_end != std::string_view::npos) {
    const auto path_start = url.find('/', scheme_end + 3);
    if (path_start == std::string_view::npos) return {};
    url.remove_prefix(path_start);
  }
  const auto last_slash = url.rfind('/');
  if (last_slash != std::string_view::npos) url.remove_prefix(last_slash + 1);
  return percent_decode(url);
}

std::string sanitize_file_name(std::string_view name) {
  if (const auto sep = name.find_last_of("/\\"); sep != std::string_view::npos)
    name.remove_prefix(sep + 1);
  std::string kept;
  kept.reserve(name.size());
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7f) continue;
    kept.push_back(c);
  }
  if (kept.size() > kMaxFileNameBytes) {
    // Cut before a character's continuation bytes so no half character remains.
    std::size_t cut = kMaxFileNameBytes;
    while (cut > 0 && (static_cast<unsigned char>(kept[cut]) & 0xC0) == 0x80) --cut;
    kept.resize(cut);
  }
  std::string result(trim_blanks(kept));
  if (result == "." || result == "..") return {};
  return result;
}

std::string suggested_file_name(std::optional<std::string_view> content_disposition,
                                std::string_view url) {
  if (content_disposition) {
    if (auto from_header = content_disposition_filename(*content_disposition)) {
      if (auto safe = sanitize_file_name(*from_header); !safe.empty()) return safe;
    }
  }
  if (auto safe = sanitize_file_name(url_last_path_segment(url)); !safe.empty()) return safe;
  return std::string(kFallbackFileName);
}

}  // namespace quillon
