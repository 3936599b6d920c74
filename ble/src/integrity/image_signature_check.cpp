#include "quillon/integrity/image_signature_check.h"

#include <openssl/evp.h>

#include <algorithm>
#include <memory>
#include <stdexcept>

#include "quillon/integrity/minisign_signature.h"

namespace quillon {
namespace {

using PkeyPtr = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;
using MdPtr = std::unique_ptr<EVP_MD, decltype(&EVP_MD_free)>;

// Pieces large enough that reading costs little next to hashing.
constexpr std::size_t kReadPieceBytes = 256 * 1024;

bool ed25519_verifies(const MinisignPublicKey& key, std::span<const std::uint8_t> signature,
                      std::span<const std::uint8_t> message) {
  PkeyPtr pkey(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.ed25519.data(), key.ed25519.size()),
               &EVP_PKEY_free);
  MdCtxPtr context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!pkey || !context) throw std::runtime_error("Ed25519 is not available");
  if (EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, pkey.get()) != 1) return false;
  return EVP_DigestVerify(context.get(), signature.data(), signature.size(), message.data(), message.size()) == 1;
}

// Reads the image from offset 0 to its end, handing each piece to `take`;
// leaves it at offset 0. False when it cannot be positioned, a read fails,
// or it yields another number of bytes than its size.
template <typename Take>
bool read_whole_image(ImageHandle& image, Take&& take) {
  const std::int64_t size = image.seek_to_end();
  if (size < 0 || !image.seek(0)) return false;
  std::vector<std::uint8_t> piece(kReadPieceBytes);
  std::int64_t total = 0;
  for (;;) {
    const std::optional<std::size_t> got = image.read(piece);
    if (!got) return false;
    if (*got == 0) break;
    take(std::span<const std::uint8_t>(piece).first(*got));
    total += static_cast<std::int64_t>(*got);
  }
  return image.seek(0) && total == size;
}

std::optional<std::array<std::uint8_t, 64>> blake2b512_of_image(ImageHandle& image) {
  MdPtr md(EVP_MD_fetch(nullptr, "BLAKE2B-512", nullptr), &EVP_MD_free);
  MdCtxPtr context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  if (!md || !context || EVP_DigestInit_ex(context.get(), md.get(), nullptr) != 1) {
    throw std::runtime_error("BLAKE2b-512 is not available");
  }
  const bool whole = read_whole_image(image, [&](std::span<const std::uint8_t> piece) {
    if (EVP_DigestUpdate(context.get(), piece.data(), piece.size()) != 1) throw std::runtime_error("BLAKE2b-512 failed");
  });
  if (!whole) return std::nullopt;
  std::array<std::uint8_t, 64> digest{};
  unsigned int length = 0;
  if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1 || length != digest.size()) {
    throw std::runtime_error("BLAKE2b-512 failed");
  }
  return digest;
}

SignatureVerdict failed(SignatureVerdict verdict, SignatureFailure failure, std::string detail = {}) {
  verdict.failure = failure;
  verdict.detail = std::move(detail);
  return verdict;
}

}  // namespace

std::string_view signature_failure_name(SignatureFailure failure) {
  switch (failure) {
    case SignatureFailure::NoSignature: return "no_signature";
    case SignatureFailure::MalformedSignature: return "malformed_signature";
    case SignatureFailure::UnknownKey: return "unknown_key";
    case SignatureFailure::BadSignature: return "bad_signature";
    case SignatureFailure::BadTrustedComment: return "bad_trusted_comment";
    case SignatureFailure::LegacyNotAllowed: return "legacy_not_allowed";
    case SignatureFailure::ImageUnreadable: return "image_unreadable";
  }
  return "unknown";
}

std::string_view signature_failure_text(SignatureFailure failure) {
  switch (failure) {
    case SignatureFailure::NoSignature: return "no signature";
    case SignatureFailure::MalformedSignature: return "malformed signature";
    case SignatureFailure::UnknownKey: return "unknown key ID";
    case SignatureFailure::BadSignature: return "bad signature: the image is not the one that was signed";
    case SignatureFailure::BadTrustedComment: return "bad trusted comment";
    case SignatureFailure::LegacyNotAllowed: return "legacy signature format not allowed";
    case SignatureFailure::ImageUnreadable: return "the image cannot be read";
  }
  return "refused";
}

SignatureVerdict check_image_signature(ImageHandle& image, std::string_view signature_text,
                                       std::span<const MinisignPublicKey> trusted, SignatureCheckOptions options) {
  SignatureVerdict verdict;
  for (const auto& key : trusted) verdict.trusted.push_back(key.key_id);
  const auto parsed = parse_minisign_signature(signature_text);
  if (const auto* why = std::get_if<std::string>(&parsed)) {
    return failed(std::move(verdict), SignatureFailure::MalformedSignature, *why);
  }
  const auto& signature = std::get<MinisignSignature>(parsed);
  verdict.signed_by = signature.key_id;
  verdict.legacy = !signature.prehashed;
  const auto key = std::find_if(trusted.begin(), trusted.end(),
                                [&](const MinisignPublicKey& k) { return k.key_id == signature.key_id; });
  if (key == trusted.end()) return failed(std::move(verdict), SignatureFailure::UnknownKey);
  if (verdict.legacy && !options.allow_legacy) return failed(std::move(verdict), SignatureFailure::LegacyNotAllowed);

  if (signature.trusted_comment) {
    // The global signature covers the file's signature and the comment, so
    // neither can be moved to another signature or changed.
    std::vector<std::uint8_t> covered(signature.signature.begin(), signature.signature.end());
    covered.insert(covered.end(), signature.trusted_comment->begin(), signature.trusted_comment->end());
    if (!ed25519_verifies(*key, *signature.global_signature, covered)) {
      return failed(std::move(verdict), SignatureFailure::BadTrustedComment);
    }
  } else if (signature.prehashed) {
    // Only signify leaves the comment out, and it signs only legacy-style.
    return failed(std::move(verdict), SignatureFailure::BadTrustedComment, "no trusted comment");
  }

  bool valid = false;
  if (signature.prehashed) {
    const auto digest = blake2b512_of_image(image);
    if (!digest) return failed(std::move(verdict), SignatureFailure::ImageUnreadable);
    valid = ed25519_verifies(*key, signature.signature, *digest);
  } else {
    std::vector<std::uint8_t> whole;
    if (!read_whole_image(image, [&](std::span<const std::uint8_t> piece) {
          whole.insert(whole.end(), piece.begin(), piece.end());
        })) {
      return failed(std::move(verdict), SignatureFailure::ImageUnreadable);
    }
    valid = ed25519_verifies(*key, signature.signature, whole);
  }
  if (!valid) return failed(std::move(verdict), SignatureFailure::BadSignature);
  verdict.trusted_comment = signature.trusted_comment;
  if (verdict.trusted_comment) verdict.fields = parse_trusted_comment_fields(*verdict.trusted_comment);
  return verdict;
}

std::string describe_signature_verdict(const SignatureVerdict& verdict) {
  if (verdict.ok()) {
    return std::string(verdict.legacy ? "legacy signature" : "signature") + " by key " + verdict.signed_by->hex() +
           " verified";
  }
  std::string text(signature_failure_text(*verdict.failure));
  if (!verdict.detail.empty()) text += ": " + verdict.detail;
  if (*verdict.failure == SignatureFailure::UnknownKey) {
    text += ": signed by " + verdict.signed_by->hex() + ", trusted: ";
    for (std::size_t i = 0; i < verdict.trusted.size(); ++i) text += (i ? ", " : "") + verdict.trusted[i].hex();
    if (verdict.trusted.empty()) text += "none";
  } else if (verdict.signed_by && *verdict.failure != SignatureFailure::NoSignature) {
    text += " (key " + verdict.signed_by->hex() + ")";
  }
  return text;
}

}  // namespace quillon
