// Whether a firmware image was signed by a key the host trusts: a minisign
// signature (see minisign_signature.h) checked against a set of trusted
// public keys, the signature's key ID choosing the key. Cryptography is
// OpenSSL's libcrypto (Ed25519, BLAKE2b-512); nothing here is hand-written.
//
// A prehashed signature is checked while the image is read in pieces, so an
// image of any size takes the same memory. A legacy signature signs the
// image itself, and Ed25519 cannot take a message in pieces: that check
// reads the whole image into memory, one reason it must be asked for.
//
// The verdict is a value: a reason from a fixed list and the key IDs
// involved, so that a caller decides from the reason, never from a message.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quillon/integrity/minisign_public_key.h"
#include "quillon/integrity/trusted_comment_fields.h"
#include "quillon/platform/image_handle.h"

namespace quillon {

enum class SignatureFailure {
  NoSignature,         // none was given or found (the caller's to report)
  MalformedSignature,  // truncated, garbage, oversized
  UnknownKey,          // made by a key that is not trusted
  BadSignature,        // the image is not the one that was signed
  BadTrustedComment,   // the trusted comment is not the one that was signed, or missing
  LegacyNotAllowed,    // a legacy signature where only prehashed ones are taken
  ImageUnreadable,     // the image could not be read to its end
};

// "no_signature", "unknown_key", ...: stable names for scripts.
std::string_view signature_failure_name(SignatureFailure failure);
// "no signature", "unknown key ID", ...: for people.
std::string_view signature_failure_text(SignatureFailure failure);

struct SignatureCheckOptions {
  // Take legacy signatures ("Ed", and signify's, which have no trusted
  // comment) as well as prehashed ones.
  bool allow_legacy = false;
};

struct SignatureVerdict {
  // Empty when the image carries a valid signature by a trusted key.
  std::optional<SignatureFailure> failure;
  // What exactly was wrong, when the reason alone does not say it (why a
  // signature is malformed, why the image could not be read).
  std::string detail;
  // The signature's key ID (once the signature could be read) and the IDs
  // of the keys it was checked against.
  std::optional<MinisignKeyId> signed_by;
  std::vector<MinisignKeyId> trusted;
  bool legacy = false;
  // The trusted comment, once the global signature vouches for it (absent
  // in a signify signature), and the fields read from it; `fields` is empty
  // when the comment gives a field twice.
  std::optional<std::string> trusted_comment;
  std::optional<TrustedCommentFields> fields;

  bool ok() const { return !failure.has_value(); }
};

// Checks `signature_text` (a .minisig file's content) over the whole image,
// read through the handle from offset 0 to its end; the handle is left at
// offset 0. The trusted comment is checked before the image is read, so a
// bad signature file costs no reading.
SignatureVerdict check_image_signature(ImageHandle& image, std::string_view signature_text,
                                       std::span<const MinisignPublicKey> trusted,
                                       SignatureCheckOptions options = {});

// "unknown key ID: signed by 3E61B7E51877E704, trusted: 0A1B..., 9C8D...":
// the reason with the key IDs and detail it needs, for a message.
std::string describe_signature_verdict(const SignatureVerdict& verdict);

}  // namespace quillon
