// quillon-ota with trusted keys: images signed by minisign and
// signify-openbsd at test time, accepted, or refused with exit status 12
// and their reason before any module is looked for.
#include <gtest/gtest.h>

#include <filesystem>

#include "loopback_http_server.h"
#include "support/signing_tools.h"
#include "tool_test_fixture.h"

namespace quillon::ota_tool {
namespace {

using quillon::test_support::LoopbackHttpServer;
using quillon::test_support::read_text;
using quillon::test_support::SigningKey;
using quillon::test_support::write_text;

class QuillonOtaSignatureTest : public QuillonOtaTest {
 protected:
  std::string keyring() const { return in_home("trusted-keys.d"); }
};

// Whether the run got as far as looking for a module.
bool looked_for_modules(const test_support::ToolRun& run) { return run.says("scanning"); }

TEST_F(QuillonOtaSignatureTest, SendsOnlyImagesSignedByATrustedKeyAndSaysWhyNot) {
  const auto vendor = SigningKey::make(home_.path(), "vendor");
  const auto other = SigningKey::make(home_.path(), "other");
  const auto signify = SigningKey::make(home_.path(), "signify", SigningKey::Tool::Signify);
  const std::string image = make_image(5000);
  const std::string signature = vendor.sign(image, image + ".minisig");
  // minisign's comment: "untrusted comment: minisign public key <ID>".
  const auto id_of = [](const SigningKey& k) {
    const std::string text = read_text(k.public_key);
    return text.substr(39, text.find('\n') - 39);
  };
  const std::string vendor_id = id_of(vendor);
  const std::string other_id = id_of(other);
  other.sign(image, in_home("other.minisig"));
  vendor.sign(image, in_home("legacy.minisig"), "version=2.0.0", true);
  signify.sign(image, in_home("signify.sig"));
  // A comment is the vendor's text, shown as a module's name is: no escape
  // sequence reaches the terminal.
  vendor.sign(image, in_home("escape.minisig"), "version=3.0 \x1b]0;owned\x07model=X");
  const std::string tampered = make_image(5000, "tampered.bin");
  {
    auto bytes = read_bytes(tampered);
    bytes[4000] ^= 0x10;
    write_text(tampered, std::string(bytes.begin(), bytes.end()));
    write_text(tampered + ".minisig", signature);
  }
  write_text(in_home("comment.minisig"),
             std::string(signature).replace(signature.find("version=2.1.0"), 13, "version=2.1.9"));
  write_text(in_home("truncated.minisig"), signature.substr(0, signature.size() / 2));
  write_text(in_home("garbage.minisig"), "trusted comment: version=9\nnot base64 at all\n");
  std::string bad_key = read_text(vendor.public_key);
  bad_key[bad_key.size() - 10] = '*';
  write_text(in_home("bad-base64.pub"), bad_key);
  std::string mislabelled = read_text(vendor.public_key);
  mislabelled.replace(39, vendor_id.size(), other_id);
  write_text(in_home("mislabelled.pub"), mislabelled);
  const std::string key = "--trusted-key=" + vendor.public_key.string();

  struct Case {
    std::string name;
    std::vector<std::string> args;
    int status;
    std::string says;
    bool keyring = false;  // the vendor's key in the keyring directory too
  };
  const std::vector<Case> cases{
      {"signed, key given", {image, key}, 0, "trusted comment: version=2.1.0 model=TPX-80"},
      {"signed, key in the keyring", {image}, 0, "signature by key " + vendor_id + " verified", true},
      {"signed, key given as its line", {image, "--trusted-key", vendor.key_text()}, 0, "firmware updated"},
      {"a fleet", {image, key, "--modules", "2", "--all", "--scan-timeout", "0.5", "--progress", "none"}, 0,
       "all 2 modules updated"},
      {"unsigned, no key: as before", {in_home("tampered.bin")}, 0, "firmware updated"},
      {"no signature", {make_image(300, "unsigned.bin"), key}, 12, "no signature: cannot read"},
      {"no image", {in_home("missing.bin"), key}, 4, "cannot open " + in_home("missing.bin")},
      {"a tampered image", {tampered, key}, 12, "bad signature: the image is not the one that was signed"},
      {"a tampered trusted comment", {image, key, "--signature", in_home("comment.minisig")}, 12,
       "bad trusted comment (key " + vendor_id + ")"},
      {"signed by another key",
       {image, key, "--trusted-key", signify.public_key.string(), "--signature", in_home("other.minisig")}, 12,
       "unknown key ID: signed by " + other_id + ", trusted: " + vendor_id + ", "},
      {"a truncated signature", {image, key, "--signature", in_home("truncated.minisig")}, 12,
       "malformed signature: "},
      {"a garbage signature", {image, key, "--signature", in_home("garbage.minisig")}, 12,
       "malformed signature: the first line is not an untrusted comment"},
      {"a key file in bad base64", {image, "--trusted-key", in_home("bad-base64.pub")}, 12,
       "bad trusted key " + in_home("bad-base64.pub") + ": the key is not base64"},
      {"a key file naming another key ID", {image, "--trusted-key", in_home("mislabelled.pub")}, 12,
       "the comment names another key ID than the key's"},
      {"legacy, not allowed", {image, key, "--signature", in_home("legacy.minisig")}, 12,
       "legacy signature format not allowed"},
      {"legacy, allowed", {image, key, "--signature", in_home("legacy.minisig"), "--allow-legacy-signature"}, 0,
       "trusted comment: version=2.0.0"},
      {"signify, allowed",
       {image, "--trusted-key", signify.public_key.string(), "--signature", in_home("signify.sig"),
        "--allow-legacy-signature"},
       0, "firmware updated"},
      {"no key, signature required", {image, "--require-signature"}, 12, "no trusted key is configured"},
      {"a comment with an escape sequence", {image, key, "--signature", in_home("escape.minisig")}, 0,
       "trusted comment: version=3.0 ?]0;owned?model=X\n"},
      {"--json", {image, key, "--json"}, 0,
       R"({"event":"signature","verified":true,"reason":null,"key_id":")" + vendor_id + R"(","trusted_key_ids":[")" +
           vendor_id + R"("],"legacy":false,"trusted_comment":"version=2.1.0 model=TPX-80","version":"2.1.0","model":"TPX-80"})"},
      {"--json, refused", {tampered, key, "--json"}, 12,
       R"({"event":"signature","verified":false,"reason":"bad_signature","key_id":")" + vendor_id + R"(")"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(keyring());
    if (c.keyring) {
      std::filesystem::create_directories(keyring());
      std::filesystem::copy_file(vendor.public_key, keyring() + "/vendor.pub");
    }
    const auto result = run(c.args);
    EXPECT_EQ(result.status, c.status) << result.output;
    EXPECT_TRUE(result.says(c.says)) << result.output;
    EXPECT_EQ(result.output.find('\x1b'), std::string::npos);
    if (c.status == 12 && !c.name.starts_with("--json")) {
      EXPECT_TRUE(result.verdict().starts_with("quillon-ota: failed (exit 12): image signature refused: "))
          << result.verdict();
    }
    if (c.status == 12) {
      EXPECT_FALSE(looked_for_modules(result)) << "refused before any module was looked for";
    }
  }
}

TEST_F(QuillonOtaSignatureTest, FetchesTheSignatureBesideTheUrlAndRefusesBeforeConnecting) {
  const auto vendor = SigningKey::make(home_.path(), "vendor");
  // What the server sends for "/NAME?size=5000" (http_test_server.py's pattern).
  std::vector<std::uint8_t> body(5000);
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = quillon::test_support::served_byte(i);
  const auto files = home_.path() / "served";
  std::filesystem::create_directory(files);
  write_text(in_home("served.bin"), std::string(body.begin(), body.end()));
  const std::string signature = vendor.sign(in_home("served.bin"), files / "fw.bin.minisig");
  write_text(files / "other-size.bin.minisig", signature);
  write_text(files / "huge.bin.minisig", signature + std::string(64 * 1024, '\n'));
  LoopbackHttpServer server(QUILLON_TEST_HTTP_SERVER, home_.path() / "requests.log", std::nullopt, files);
  const std::string key = "--trusted-key=" + vendor.public_key.string();

  struct Case {
    std::string name;
    std::string url;
    int status;
    std::string says;
    bool image_requested;
  };
  const std::vector<Case> cases{
      {"signed", "/fw.bin?size=5000", 0, "trusted comment: version=2.1.0 model=TPX-80", true},
      {"no .minisig on the server", "/none.bin?size=5000", 12,
       "no signature: cannot download " + server.url("/none.bin.minisig?size=5000") + ": HTTP status 404", false},
      {"an oversized .minisig", "/huge.bin?size=5000", 12, "malformed signature: " + server.url("/huge.bin.minisig?size=5000") +
       " is larger than 16384 bytes", false},
      {"another image than the one signed", "/other-size.bin?size=5001", 12,
       "bad signature: the image is not the one that was signed", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto asked_before = server.requests().size();
    const auto result = run({server.url(c.url), key, "--save-received", in_home("got.bin")});
    EXPECT_EQ(result.status, c.status) << result.output;
    EXPECT_TRUE(result.says(c.says)) << result.output;
    const auto asked = server.requests();
    ASSERT_GE(asked.size(), asked_before + 1);
    EXPECT_EQ(asked.size() - asked_before, c.image_requested ? 2u : 1u) << "the signature first, the image only if there is one";
    const auto cached = home_.path() / "cache" / "quillon" / c.url.substr(1, c.url.find('?') - 1);
    if (c.status == 0) {
      EXPECT_EQ(read_bytes(in_home("got.bin")), body);
      EXPECT_EQ(read_text(cached.string() + ".minisig"), signature) << "kept beside the image";
    } else {
      EXPECT_FALSE(looked_for_modules(result));
      EXPECT_FALSE(std::filesystem::exists(cached)) << "a refused image is not kept";
    }
  }
}

}  // namespace
}  // namespace quillon::ota_tool
