#include "quillon/integrity/sha256_digest.h"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <vector>

#include "ble/hex_text.h"

namespace quillon {
namespace {

// One running SHA-256 computation.
class Sha256 {
 public:
  Sha256() : context_(EVP_MD_CTX_new(), &EVP_MD_CTX_free) {
    if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1)
      throw std::runtime_error("SHA-256 is not available");
  }
  void add(std::span<const std::uint8_t> bytes) {
    if (!bytes.empty() && EVP_DigestUpdate(context_.get(), bytes.data(), bytes.size()) != 1)
      throw std::runtime_error("SHA-256 failed");
  }
  Sha256Digest finish() {
    Sha256Digest digest;
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_.get(), digest.bytes.data(), &length) != 1 || length != digest.bytes.size())
      throw std::runtime_error("SHA-256 failed");
    return digest;
  }

 private:
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context_;
};

}  // namespace

std::optional<Sha256Digest> Sha256Digest::from_hex(std::string_view text) {
  Sha256Digest digest;
  const auto bytes = hex_text::parse(text);
  if (!bytes || bytes->size() != digest.bytes.size()) return std::nullopt;
  std::copy(bytes->begin(), bytes->end(), digest.bytes.begin());
  return digest;
}

std::string Sha256Digest::hex() const {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const auto byte : bytes) {
    text.push_back(kDigits[byte >> 4]);
    text.push_back(kDigits[byte & 0x0F]);
  }
  return text;
}

Sha256Digest sha256_of_bytes(std::span<const std::uint8_t> bytes) {
  Sha256 sha;
  sha.add(bytes);
  return sha.finish();
}

std::optional<Sha256Digest> sha256_of_image(ImageHandle& image) {
  const std::int64_t size = image.seek_to_end();
  if (size < 0 || !image.seek(0)) return std::nullopt;
  Sha256 sha;
  std::vector<std::uint8_t> piece(64 * 1024);
  std::int64_t total = 0;
  for (;;) {
    const std::optional<std::size_t> got = image.read(piece);
    if (!got) return std::nullopt;  // a failed read is not the end of the image
    if (*got == 0) break;
    sha.add(std::span(piece).first(*got));
    total += static_cast<std::int64_t>(*got);
  }
  if (!image.seek(0) || total != size) return std::nullopt;
  return sha.finish();
}

}  // namespace quillon
