#include "quillon/integrity/minisign_public_key.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "integrity/minisign_lines.h"
#include "quillon/integrity/minisign_base64.h"

namespace quillon {
namespace {

constexpr std::string_view kCommentPrefix = "untrusted comment: ";
// minisign's own comment; the ID after it must be the key's.
constexpr std::string_view kMinisignComment = "minisign public key ";

std::string_view trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

std::uint64_t MinisignKeyId::number() const {
  std::uint64_t value = 0;
  for (auto it = bytes.rbegin(); it != bytes.rend(); ++it) value = value << 8 | *it;
  return value;
}

std::string MinisignKeyId::hex() const {
  char text[17];
  std::snprintf(text, sizeof text, "%llX", static_cast<unsigned long long>(number()));
  return text;
}

std::string_view key_problem_text(KeyProblem problem) {
  switch (problem) {
    case KeyProblem::NotBase64: return "the key is not base64";
    case KeyProblem::WrongLength: return "the key has the wrong length";
    case KeyProblem::WrongAlgorithm: return "not an Ed25519 key";
    case KeyProblem::KeyIdMismatch: return "the comment names another key ID than the key's";
    case KeyProblem::Malformed: return "not a minisign public key file";
  }
  return "not a public key";
}

std::variant<MinisignPublicKey, KeyProblem> parse_minisign_public_key(std::string_view text) {
  const auto lines = minisign_lines(text);
  std::string_view comment;
  std::string_view key_line;
  if (lines.size() == 1) {
    key_line = trim(lines[0]);
  } else if (lines.size() == 2 && lines[0].starts_with(kCommentPrefix)) {
    comment = lines[0].substr(kCommentPrefix.size());
    key_line = trim(lines[1]);
  } else {
    return KeyProblem::Malformed;
  }
  const auto bytes = decode_minisign_base64(key_line);
  if (!bytes) return KeyProblem::NotBase64;
  if (bytes->size() != 2 + 8 + 32) return KeyProblem::WrongLength;
  if ((*bytes)[0] != 'E' || (*bytes)[1] != 'd') return KeyProblem::WrongAlgorithm;
  MinisignPublicKey key;
  std::copy_n(bytes->begin() + 2, 8, key.key_id.bytes.begin());
  std::copy_n(bytes->begin() + 10, 32, key.ed25519.begin());
  if (comment.starts_with(kMinisignComment)) {
    const std::string_view named = trim(comment.substr(kMinisignComment.size()));
    std::uint64_t value = 0;
    const auto [end, error] = std::from_chars(named.data(), named.data() + named.size(), value, 16);
    if (named.empty() || error != std::errc() || end != named.data() + named.size() || value != key.key_id.number()) {
      return KeyProblem::KeyIdMismatch;
    }
  }
  return key;
}

}  // namespace quillon
