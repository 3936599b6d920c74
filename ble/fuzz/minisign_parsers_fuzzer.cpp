// Fuzzes what is read from outside before any cryptography runs: a
// signature file (parse_minisign_signature), a public key file or key line
// (parse_minisign_public_key), the trusted comment's fields, and the whole
// check of a signature over a small image against the key in the input.
// Whatever the bytes, nothing crashes, and no signature is ever accepted:
// the fuzzer cannot sign, so an accepted verdict means the check is broken.
//
// Input: byte 0 flags (bit 0: allow legacy), byte 1 the length of the key
// text that follows, then the key text, then the signature text; the image
// is the input's first 64 bytes.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "quillon/integrity/image_signature_check.h"
#include "quillon/integrity/minisign_public_key.h"
#include "quillon/integrity/minisign_signature.h"
#include "quillon/integrity/trusted_comment_fields.h"
#include "support/memory_image.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const bool allow_legacy = data[0] & 1;
  const std::size_t key_length = std::min<std::size_t>(data[1], size - 2);
  const std::string_view key_text(reinterpret_cast<const char*>(data) + 2, key_length);
  const std::string_view signature_text(reinterpret_cast<const char*>(data) + 2 + key_length, size - 2 - key_length);

  std::vector<MinisignPublicKey> trusted;
  const auto key = parse_minisign_public_key(key_text);
  if (const auto* parsed = std::get_if<MinisignPublicKey>(&key)) {
    trusted.push_back(*parsed);
    if (parsed->key_id.hex().empty() || parsed->key_id.hex().size() > 16) std::abort();
  }

  const auto signature = parse_minisign_signature(signature_text);
  if (const auto* parsed = std::get_if<MinisignSignature>(&signature)) {
    if (signature_text.size() > kMaxMinisignSignatureBytes) std::abort();
    if (parsed->trusted_comment.has_value() != parsed->global_signature.has_value()) std::abort();
    if (parsed->trusted_comment) {
      if (parsed->trusted_comment->find('\n') != std::string::npos) std::abort();
      (void)parse_trusted_comment_fields(*parsed->trusted_comment);
      // A signature that parses always names its key: trust that key, so
      // the check goes all the way to the cryptography.
      if (trusted.empty()) trusted.push_back(MinisignPublicKey{parsed->key_id, {}});
    }
  }

  test::MemoryImage image(std::vector<std::uint8_t>(data, data + std::min<std::size_t>(size, 64)));
  const auto verdict = check_image_signature(image, signature_text, trusted, {.allow_legacy = allow_legacy});
  if (verdict.ok()) std::abort();
  (void)describe_signature_verdict(verdict);
  return 0;
}
