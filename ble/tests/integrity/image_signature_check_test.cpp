// Image signatures made by minisign and signify-openbsd, checked by the
// library: what it accepts, and every way it refuses, each with its reason.
#include "quillon/integrity/image_signature_check.h"

#include <gtest/gtest.h>

#include <fstream>
#include <functional>

#include "download/scratch_directory.h"
#include "quillon/integrity/minisign_public_key.h"
#include "quillon/integrity/minisign_signature.h"
#include "quillon/integrity/trusted_keys.h"
#include "support/memory_image.h"
#include "support/signing_tools.h"

namespace quillon {
namespace {

using test_support::SigningKey;

// Longer than one of the check's read pieces, so that the digest is built
// from several.
std::vector<std::uint8_t> image_bytes() {
  std::vector<std::uint8_t> bytes(300 * 1024 + 17);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>((i * 131 + i / 253) & 0xFF);
  return bytes;
}

MinisignPublicKey key_of(const SigningKey& key) {
  return std::get<MinisignPublicKey>(parse_minisign_public_key(test_support::read_text(key.public_key)));
}

std::string replace(std::string text, const std::string& from, const std::string& to) {
  const auto at = text.find(from);
  if (at == std::string::npos) throw std::runtime_error("no '" + from + "' in the signature");
  return text.replace(at, from.size(), to);
}

std::string first_lines(const std::string& text, int count) {
  std::size_t end = 0;
  for (int i = 0; i < count; ++i) end = text.find('\n', end) + 1;
  return text.substr(0, end);
}

class ImageSignatureCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    image_ = folder_.path() / "fw.bin";
    const auto bytes = image_bytes();
    std::ofstream(image_, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
  std::filesystem::path in_folder(const std::string& name) const { return folder_.path() / name; }

  test_support::ScratchDirectory folder_;
  std::filesystem::path image_;
};

TEST_F(ImageSignatureCheckTest, AcceptsWhatTheToolsSignAndRefusesEachFaultWithItsReason) {
  const auto vendor = SigningKey::make(folder_.path(), "vendor");
  const auto other = SigningKey::make(folder_.path(), "other");
  const auto signify = SigningKey::make(folder_.path(), "signify", SigningKey::Tool::Signify);
  const std::string prehashed = vendor.sign(image_, in_folder("p.minisig"));
  const std::string legacy = vendor.sign(image_, in_folder("l.minisig"), "version=2.0.9", true);
  const std::string by_other = other.sign(image_, in_folder("o.minisig"));
  const std::string by_signify = signify.sign(image_, in_folder("s.sig"));
  const std::vector<MinisignPublicKey> trusted{key_of(other), key_of(vendor), key_of(signify)};
  const std::vector<MinisignPublicKey> vendor_only{key_of(vendor)};

  auto tampered = image_bytes();
  tampered[290 * 1024] ^= 0x01;  // in the image's second read piece

  struct Case {
    std::string name;
    std::string signature;
    std::vector<MinisignPublicKey> keys;
    bool allow_legacy;
    std::optional<SignatureFailure> failure;  // empty: accepted
    bool tampered_image = false;
  };
  const std::vector<Case> cases{
      {"prehashed, by one of several trusted keys", prehashed, trusted, false, std::nullopt},
      {"legacy, allowed", legacy, trusted, true, std::nullopt},
      {"signify, allowed as legacy", by_signify, trusted, true, std::nullopt},
      {"legacy, not allowed", legacy, trusted, false, SignatureFailure::LegacyNotAllowed},
      {"signify, not allowed", by_signify, trusted, false, SignatureFailure::LegacyNotAllowed},
      {"tampered image, prehashed", prehashed, trusted, false, SignatureFailure::BadSignature, true},
      {"tampered image, legacy", legacy, trusted, true, SignatureFailure::BadSignature, true},
      {"tampered image, signify", by_signify, trusted, true, SignatureFailure::BadSignature, true},
      {"tampered trusted comment", replace(prehashed, "version=2.1.0", "version=9.1.0"), trusted, false,
       SignatureFailure::BadTrustedComment},
      {"another signature's comment and global signature",
       first_lines(prehashed, 2) + replace(legacy, first_lines(legacy, 2), ""), trusted, true,
       SignatureFailure::BadTrustedComment},
      {"prehashed without its trusted comment", first_lines(prehashed, 2), trusted, false,
       SignatureFailure::BadTrustedComment},
      {"signed by a key that is not trusted", by_other, vendor_only, false, SignatureFailure::UnknownKey},
      {"no trusted key at all", prehashed, {}, false, SignatureFailure::UnknownKey},
      {"truncated to three lines", first_lines(prehashed, 3), trusted, false, SignatureFailure::MalformedSignature},
      {"cut inside the signature line", prehashed.substr(0, prehashed.find('\n') + 40), trusted, false,
       SignatureFailure::MalformedSignature},
      {"garbage", "\x7f" "ELF\x02\x01\x01 not a signature at all\n", trusted, false,
       SignatureFailure::MalformedSignature},
      {"empty", "", trusted, false, SignatureFailure::MalformedSignature},
      {"oversized", prehashed + std::string(kMaxMinisignSignatureBytes, '\n'), trusted, false,
       SignatureFailure::MalformedSignature},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::MemoryImage image(c.tampered_image ? tampered : image_bytes());
    const auto verdict = check_image_signature(image, c.signature, c.keys, {.allow_legacy = c.allow_legacy});
    EXPECT_EQ(verdict.failure, c.failure) << describe_signature_verdict(verdict);
    std::array<std::uint8_t, 1> first{};
    EXPECT_EQ(image.read(first), 1u) << "left at offset 0";
    EXPECT_EQ(first[0], image_bytes()[0]);
  }

  {
    SCOPED_TRACE("what an accepted signature tells");
    test::MemoryImage image(image_bytes());
    const auto verdict = check_image_signature(image, prehashed, trusted);
    ASSERT_TRUE(verdict.ok());
    EXPECT_EQ(verdict.signed_by, key_of(vendor).key_id);
    EXPECT_FALSE(verdict.legacy);
    EXPECT_EQ(verdict.trusted_comment, "version=2.1.0 model=TPX-80");
    EXPECT_EQ(verdict.fields, (TrustedCommentFields{"2.1.0", "TPX-80"}));
    EXPECT_EQ(describe_signature_verdict(verdict), "signature by key " + key_of(vendor).key_id.hex() + " verified");
  }
  {
    SCOPED_TRACE("an unknown key's refusal names both IDs");
    test::MemoryImage image(image_bytes());
    const auto verdict = check_image_signature(image, by_other, vendor_only);
    EXPECT_EQ(describe_signature_verdict(verdict), "unknown key ID: signed by " + key_of(other).key_id.hex() +
                                                       ", trusted: " + key_of(vendor).key_id.hex());
  }
  {
    SCOPED_TRACE("an image that cannot be read to its end");
    test::MemoryImage image(image_bytes());
    image.fail_reads_past(100 * 1024);
    EXPECT_EQ(check_image_signature(image, prehashed, trusted).failure, SignatureFailure::ImageUnreadable);
  }
}

TEST_F(ImageSignatureCheckTest, ReadsKeysAsTheToolsWriteThemAndRefusesBrokenOnes) {
  const auto minisign = SigningKey::make(folder_.path(), "m");
  const auto signify = SigningKey::make(folder_.path(), "s", SigningKey::Tool::Signify);
  const std::string file = test_support::read_text(minisign.public_key);
  const std::string line = minisign.key_text();
  const auto key = std::get<MinisignPublicKey>(parse_minisign_public_key(file));
  // minisign names the key's ID in the comment it writes.
  EXPECT_NE(file.find("minisign public key " + key.key_id.hex() + "\n"), std::string::npos) << file;

  std::string bad_char = line;
  bad_char[20] = '!';
  std::string other_id = file;
  other_id.replace(other_id.find(key.key_id.hex()), key.key_id.hex().size(), "123456789ABCDEF");

  struct Case {
    std::string name;
    std::string text;
    std::variant<MinisignPublicKey, KeyProblem> expected;
  };
  const std::vector<Case> cases{
      {"minisign's key file", file, key},
      {"the key line alone, blanks around it", "  " + line + " \n\n", key},
      {"a key file with Windows line ends", replace(file, "\n", "\r\n"), key},
      {"signify's key file", test_support::read_text(signify.public_key), key_of(signify)},
      {"bad base64", bad_char, KeyProblem::NotBase64},
      {"a line break inside the key", line.substr(0, 20) + "\n" + line.substr(20), KeyProblem::Malformed},
      {"cut short", line.substr(0, 52), KeyProblem::WrongLength},
      {"the comment names another key ID", other_id, KeyProblem::KeyIdMismatch},
      {"a signature, not a key", "untrusted comment: x\n" + line + "\n" + line, KeyProblem::Malformed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(parse_minisign_public_key(c.text), c.expected);
  }
  {
    SCOPED_TRACE("an ID with a leading zero, which minisign prints without it");
    const auto parsed = parse_minisign_public_key(
        "untrusted comment: minisign public key 7060504030201\n"
        "RWQBAgMEBQYHAAABAgMEBQYHCAkKCwwNDg8QERITFBUWFxgZGhscHR4f\n");
    ASSERT_TRUE(std::holds_alternative<MinisignPublicKey>(parsed));
    EXPECT_EQ(std::get<MinisignPublicKey>(parsed).key_id.hex(), "7060504030201");
  }

  {
    SCOPED_TRACE("a keyring directory: *.pub files only, a broken one reported");
    const auto ring = folder_.path() / "ring";
    std::filesystem::create_directory(ring);
    std::filesystem::copy_file(minisign.public_key, ring / "vendor.pub");
    std::filesystem::copy_file(signify.public_key, ring / "vendor.pub.dpkg-old");
    test_support::write_text(ring / "broken.pub", bad_char);
    const auto keys = load_trusted_key_directory(ring);
    ASSERT_EQ(keys.size(), 2u);
    EXPECT_EQ(keys[0].source, (ring / "broken.pub").string());
    EXPECT_FALSE(keys[0].key);
    EXPECT_EQ(keys[0].problem, "the key is not base64");
    EXPECT_EQ(keys[1].key, key);
    EXPECT_TRUE(load_trusted_key_directory(folder_.path() / "none").empty());
  }
  {
    SCOPED_TRACE("--trusted-key's argument: a file, else the key itself");
    EXPECT_EQ(load_trusted_key(minisign.public_key.string()).key, key);
    EXPECT_EQ(load_trusted_key(line).key, key);
    EXPECT_EQ(load_trusted_key(in_folder("missing.pub").string()).problem,
              "neither a readable key file nor a key (the key is not base64)");
  }
}

TEST(TrustedCommentFieldsTest, ReadsVersionAndModelAmongOtherWords) {
  struct Case {
    std::string comment;
    std::optional<TrustedCommentFields> fields;
  };
  const std::vector<Case> cases{
      {"version=2.1.0 model=TPX-80", TrustedCommentFields{"2.1.0", "TPX-80"}},
      {"timestamp:1796780876\tfile:fw.bin\tmodel=TPX-80", TrustedCommentFields{std::nullopt, "TPX-80"}},
      {"build 42 version=3.0", TrustedCommentFields{"3.0", std::nullopt}},
      {"", TrustedCommentFields{}},
      {"aversion=1 model_name=x", TrustedCommentFields{}},
      {"version=1.0 version=2.0", std::nullopt},
      {"version= model=TPX-80", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.comment);
    EXPECT_EQ(parse_trusted_comment_fields(c.comment), c.fields);
  }
}

}  // namespace
}  // namespace quillon
