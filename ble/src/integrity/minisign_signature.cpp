#include "quillon/integrity/minisign_signature.h"

#include <algorithm>

#include "integrity/minisign_lines.h"
#include "quillon/integrity/minisign_base64.h"

namespace quillon {
namespace {

constexpr std::string_view kUntrustedPrefix = "untrusted comment: ";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";

}  // namespace

std::variant<MinisignSignature, std::string> parse_minisign_signature(std::string_view text) {
  if (text.size() > kMaxMinisignSignatureBytes) {
    return "larger than " + std::to_string(kMaxMinisignSignatureBytes) + " bytes";
  }
  if (text.find('\0') != std::string_view::npos) return std::string("not text");
  const auto lines = minisign_lines(text);
  if (lines.empty()) return std::string("empty");
  if (!lines[0].starts_with(kUntrustedPrefix)) return std::string("the first line is not an untrusted comment");
  if (lines.size() < 2) return std::string("truncated: no signature line");
  if (lines.size() == 3) return std::string("truncated: no global signature line");
  if (lines.size() > 4) return std::string("more lines than a signature file has");

  const auto bytes = decode_minisign_base64(lines[1]);
  if (!bytes) return std::string("the signature line is not base64");
  if (bytes->size() != 2 + 8 + 64) return std::string("the signature line has the wrong length");
  MinisignSignature signature;
  if ((*bytes)[0] == 'E' && (*bytes)[1] == 'D') {
    signature.prehashed = true;
  } else if ((*bytes)[0] == 'E' && (*bytes)[1] == 'd') {
    signature.prehashed = false;
  } else {
    return std::string("not an Ed25519 signature");
  }
  std::copy_n(bytes->begin() + 2, 8, signature.key_id.bytes.begin());
  std::copy_n(bytes->begin() + 10, 64, signature.signature.begin());
  if (lines.size() == 2) return signature;

  if (!lines[2].starts_with(kTrustedPrefix)) return std::string("the third line is not a trusted comment");
  signature.trusted_comment = std::string(lines[2].substr(kTrustedPrefix.size()));
  const auto global = decode_minisign_base64(lines[3]);
  if (!global) return std::string("the global signature line is not base64");
  if (global->size() != 64) return std::string("the global signature line has the wrong length");
  signature.global_signature.emplace();
  std::copy(global->begin(), global->end(), signature.global_signature->begin());
  return signature;
}

}  // namespace quillon
