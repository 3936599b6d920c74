// quillon-ota end to end: the built program against the simulated module
// and a loopback HTTP server, one throwaway home per test.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "loopback_http_server.h"
#include "quillon/integrity/sha256_digest.h"
#include "scratch_directory.h"
#include "test_certificate_authority.h"
#include "tool_options.h"
#include "tool_process.h"
#include "tool_test_fixture.h"

namespace quillon::ota_tool {
namespace {

using quillon::test_support::LoopbackHttpServer;
using quillon::test_support::ScratchDirectory;
using quillon::test_support::TestCertificateAuthority;
using test_support::run_tool;
using test_support::ToolProcess;
using test_support::ToolRun;

TEST_F(QuillonOtaTest, UpdatesTheModuleWithExactlyTheImageAndFindsItAgainByItsIdentifier) {
  const auto image = make_image(100000);  // not a whole number of packets
  const auto first = run({image, "--verify", "--save-received", in_home("got.bin")});
  ASSERT_EQ(first.status, 0) << first.output;
  EXPECT_EQ(first.verdict().rfind("quillon-ota: success: firmware updated (100000 bytes sent to Printer BLE", 0), 0u)
      << first.verdict();
  EXPECT_TRUE(first.says("scanning for a module advertising FF10"));
  EXPECT_TRUE(first.says("progress: 100% (100000 of 100000 bytes")) << "plain lines when not on a terminal";
  EXPECT_TRUE(first.says("verify: the module holds exactly the image (100000 bytes"));
  EXPECT_EQ(read_bytes(in_home("got.bin")), read_bytes(image));

  const auto second = run({image, "--retrieve"});
  EXPECT_EQ(second.status, 0) << second.output;
  EXPECT_TRUE(second.says("retrieved the remembered module " + std::string(kDefaultModuleIdentifier)));
  EXPECT_FALSE(second.says("scanning")) << "retrieval needs no scan";

  const auto other = run({image, "--retrieve", "--module-id", "11111111-2222-3333-4444-555555555555"});
  EXPECT_EQ(other.status, 3) << "the remembered module is not in range: " << other.output;
}

TEST_F(QuillonOtaTest, AModuleThatIsNotThereIsReportedAsNotFound) {
  const auto image = make_image(1000);
  {
    SCOPED_TRACE("--retrieve with nothing remembered");
    const auto run_result = run({image, "--retrieve"});
    EXPECT_EQ(run_result.status, 3) << run_result.output;
    EXPECT_TRUE(run_result.says("module not found"));
  }
  {
    SCOPED_TRACE("a scan that finds nothing in time, with nothing to save");
    const auto run_result = run({image, "--no-module", "--scan-timeout", "0.3", "--save-received", in_home("got.bin")});
    EXPECT_EQ(run_result.status, 3) << run_result.output;
    EXPECT_TRUE(run_result.says("module not found: no module advertising FF10 was found within 0.3 s"));
  }
}

TEST_F(QuillonOtaTest, InjectedFaultsEndWithTheirOwnStatusAndMessage) {
  struct Case {
    std::vector<std::string> args;
    std::size_t image_size;
    int status;
    const char* says;
  };
  const Case cases[] = {
      {{"--fault", "corrupt-end"}, 5000, 5, "checksum failure"},
      {{"--fault", "corrupt-ack=0"}, 5000, 5, "checksum failure"},
      {{"--fault", "corrupt-ack=3"}, 5000, 5, "checksum failure"},
      {{"--mtu", "4"}, 5000, 7, "the module rejected the image: its verdict was 2"},
      {{"--fault", "merge"}, 5000, 0, "firmware updated (5000 bytes"},
      {{"--fault", "ack-end"}, 5000, 0, "firmware updated"},
      {{"--mtu", "5", "--credit", "1"}, 700, 0, "firmware updated (700 bytes"},
      {{"--mtu", "20"}, 48, 0, "firmware updated (48 bytes"},  // a whole number of packets
      {{}, 0, 4, "image is empty"},  // refused: nothing would be flashed
  };
  for (const auto& c : cases) {
    std::string label;
    for (const auto& a : c.args) label += a + " ";
    SCOPED_TRACE(label + "image " + std::to_string(c.image_size));
    std::vector<std::string> args{make_image(c.image_size), "--verify"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const auto result = run(args);
    EXPECT_EQ(result.status, c.status) << result.output;
    EXPECT_TRUE(result.says(c.says)) << result.verdict();
  }
}

// The module wants packets of exactly its mtu; a write without response
// longer than the link's ATT MTU less 3 is lost without a word, so such a
// transfer must end before its first DATA packet, saying why.
TEST_F(QuillonOtaTest, PacketsLongerThanTheLinkCarriesEndTheUpdateBeforeAnyData) {
  const auto refused = run({make_image(5000), "--mtu", "200", "--att-mtu", "100", "--save-received", in_home("got.bin")});
  EXPECT_EQ(refused.status, 8) << refused.output;
  EXPECT_TRUE(refused.says("the module asks for packets of 200 bytes, but the link carries at most 97 bytes in one "
                           "write (ATT MTU 100)"))
      << refused.verdict();
  EXPECT_TRUE(read_bytes(in_home("got.bin")).empty()) << "DATA reached the module";

  const auto fits = run({make_image(5000), "--mtu", "97", "--att-mtu", "100", "--verify"});
  EXPECT_EQ(fits.status, 0) << fits.output;
}

// An image beyond the module's flash is refused at START, at once and with
// nothing sent; one that fills it exactly goes through.
TEST_F(QuillonOtaTest, AnImageLargerThanTheModuleHoldsIsRefusedAtStart) {
  const auto refused = run({make_image(5000), "--max-image", "4999", "--save-received", in_home("got.bin")});
  EXPECT_EQ(refused.status, 7) << refused.output;
  EXPECT_TRUE(read_bytes(in_home("got.bin")).empty()) << "DATA reached the module";

  const auto fits = run({make_image(5000), "--max-image", "5000", "--verify"});
  EXPECT_EQ(fits.status, 0) << fits.output;
}

// Real time: the watchdog needs more than 3 silent seconds.
TEST_F(QuillonOtaTest, AModuleThatFallsSilentTimesOut) {
  const auto result = run({make_image(20000), "--fault", "silent=4"});
  EXPECT_EQ(result.status, 6) << result.output;
  EXPECT_TRUE(result.says("timed out: the module stopped answering")) << result.verdict();
}

TEST_F(QuillonOtaTest, DownloadsTheImageOverHttpOrSaysWhyNot) {
  LoopbackHttpServer server(QUILLON_TEST_HTTP_SERVER, home_.path() / "requests.log");
  {
    SCOPED_TRACE("a download that works");
    const auto result = run({server.url("/fw.bin?size=70000"), "--verify", "--save-received", in_home("got.bin")});
    ASSERT_EQ(result.status, 0) << result.output;
    const auto held = read_bytes(in_home("got.bin"));
    EXPECT_EQ(held.size(), 70000u);
    EXPECT_TRUE(quillon::test_support::is_served_body(held));
    EXPECT_TRUE(std::filesystem::exists(home_.path() / "cache" / "quillon" / "fw.bin")) << "kept in the cache folder";
  }
  {
    SCOPED_TRACE("an error page is no image");
    const auto result = run({server.url("/fw.bin?size=500&status=404")});
    EXPECT_EQ(result.status, 4) << result.output;
    EXPECT_TRUE(result.says("firmware image not available: download failed: HTTP status 404")) << result.verdict();
  }
  {
    SCOPED_TRACE("a refused connection");
    const auto result = run({"http://127.0.0.1:" + std::to_string(quillon::test_support::refused_port()) + "/fw.bin"});
    EXPECT_EQ(result.status, 4) << result.output;
    EXPECT_TRUE(result.says("download failed")) << result.verdict();
  }
}

TEST_F(QuillonOtaTest, BadCommandLinesAndMissingImagesFailBeforeAnyRadioWork) {
  const auto usage = run({"--mtu", "300", make_image(10)});
  EXPECT_EQ(usage.status, 2);
  EXPECT_TRUE(usage.says("--mtu must be a whole number from 0 to 255")) << usage.output;

  const auto missing = run({in_home("no-such.bin")});
  EXPECT_EQ(missing.status, 4);
  EXPECT_TRUE(missing.says("cannot open")) << missing.output;
  EXPECT_FALSE(missing.says("scanning"));

  const auto help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_TRUE(help.says("Exit status:"));
}

// /dev/zero would stream zeros to the module without end, and a FIFO
// would block the open for ever: neither may even start a scan.
TEST_F(QuillonOtaTest, OnlyARegularFileIsAnImage) {
  const auto fifo = in_home("fifo.bin");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::pair<std::string, std::string> refused[] = {
      {"/dev/zero", "cannot open /dev/zero: it is a character device, not a regular file"},
      {fifo, "cannot open " + fifo + ": it is a FIFO, not a regular file"},
      {home_.path().string(), "cannot open " + home_.path().string() + ": it is a directory, not a regular file"},
  };
  for (const auto& [image, says] : refused) {
    SCOPED_TRACE(image);
    const auto result = run({image});
    EXPECT_EQ(result.status, 4) << result.output;
    EXPECT_TRUE(result.says("firmware image not available: " + says)) << result.verdict();
    EXPECT_FALSE(result.says("scanning"));
  }
}

TEST_F(QuillonOtaTest, OnlyTheImageTheUserNamedBySha256IsSent) {
  const auto image = make_image(9000);
  const auto right = quillon::sha256_of_bytes(read_bytes(image)).hex();
  const std::string wrong(64, 'a');
  std::ofstream(in_home("SHA256SUMS")) << wrong << "  other.bin\n" << right << " *./fw.bin\n";
  std::ofstream(in_home("WRONGSUMS")) << wrong << "  fw.bin\n";
  LoopbackHttpServer server(QUILLON_TEST_HTTP_SERVER, home_.path() / "requests.log");
  const auto not_served = right;  // the file's digest, not the download's
  std::vector<std::uint8_t> body(5000);
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = quillon::test_support::served_byte(i);
  const auto download_digest = quillon::sha256_of_bytes(body).hex();
  const auto cached = home_.path() / "cache" / "quillon" / "fw.bin";

  struct Case {
    std::string image;
    std::string sha256;
    int status;
    std::string says;
  };
  const Case cases[] = {
      {image, right, 0, "firmware updated (9000 bytes"},
      {image, in_home("SHA256SUMS"), 0, "firmware updated (9000 bytes"},
      {image, wrong, 11, "failed (exit 11): image digest mismatch: expected " + wrong + ", got " + right},
      {image, in_home("WRONGSUMS"), 11, "image digest mismatch: expected " + wrong},
      {server.url("/fw.bin?size=5000"), download_digest, 0, "firmware updated (5000 bytes"},
      {server.url("/fw.bin?size=5000"), not_served, 11,
       "image digest mismatch: expected " + not_served + ", got " + download_digest +
           "; the downloaded image was removed from the cache"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.image + " --sha256 " + c.sha256);
    std::filesystem::remove(in_home("got.bin"));
    const auto result = run({c.image, "--sha256", c.sha256, "--save-received", in_home("got.bin")});
    EXPECT_EQ(result.status, c.status) << result.output;
    EXPECT_TRUE(result.says(c.says)) << result.verdict();
    if (c.status == 11) {
      EXPECT_TRUE(read_bytes(in_home("got.bin")).empty()) << "the module received no DATA";
      EXPECT_FALSE(result.says("sending"));
      EXPECT_FALSE(std::filesystem::exists(cached));
    }
  }

  std::ofstream(in_home("OTHERSUMS")) << right << "  other.bin\n";
  const auto not_named = run({image, "--sha256", in_home("OTHERSUMS")});
  EXPECT_EQ(not_named.status, 2) << not_named.output;
  EXPECT_TRUE(not_named.says("no SHA-256 digest is listed for 'fw.bin'")) << not_named.verdict();
  EXPECT_FALSE(not_named.says("scanning"));
}

TEST_F(QuillonOtaTest, HttpsIsVerifiedAndNeverDowngradedToHttp) {
  const TestCertificateAuthority ca(home_.path() / "ca");
  LoopbackHttpServer good(QUILLON_TEST_HTTP_SERVER, home_.path() / "good.log", ca.issue("good", "IP:127.0.0.1"));
  LoopbackHttpServer misnamed(QUILLON_TEST_HTTP_SERVER, home_.path() / "misnamed.log",
                              ca.issue("misnamed", "DNS:other.invalid"));
  LoopbackHttpServer plain(QUILLON_TEST_HTTP_SERVER, home_.path() / "plain.log");
  const std::string cacert = "--cacert=" + ca.certificate().string();

  struct Case {
    const char* what;
    std::vector<std::string> args;
    int status;
    std::string says;
  };
  const Case cases[] = {
      {"a certificate of the CA given", {good.url("/fw.bin?size=6000"), cacert}, 0, "firmware updated (6000 bytes"},
      {"an https redirect", {good.url("/x?redirect=" + good.url("/fw.bin%3Fsize%3D600")), cacert}, 0,
       "firmware updated (600 bytes"},
      {"no CA to trust it", {good.url("/fw.bin?size=6000")}, 4, "SSL certificate problem"},
      {"a certificate for another host", {misnamed.url("/fw.bin?size=6000"), cacert}, 4,
       "no alternative certificate subject name matches target host name '127.0.0.1'"},
      {"a redirect to plain http", {good.url("/x?redirect=" + plain.url("/fw.bin%3Fsize%3D600")), cacert}, 4,
       "refused a redirect from https:// to a URL that is not https://"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(in_home("got.bin"));
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--save-received", in_home("got.bin")});
    const auto result = run(args);
    EXPECT_EQ(result.status, c.status) << result.output;
    EXPECT_TRUE(result.says(c.says)) << result.verdict();
    if (c.status == 0) {
      EXPECT_TRUE(quillon::test_support::is_served_body(read_bytes(in_home("got.bin"))));
    } else {
      EXPECT_TRUE(result.says("firmware image not available: download failed: ")) << result.verdict();
      EXPECT_TRUE(read_bytes(in_home("got.bin")).empty()) << "nothing sent";
    }
  }
  EXPECT_TRUE(plain.requests().empty()) << "the plain-http server was never asked";
  EXPECT_TRUE(misnamed.requests().empty());
}

TEST_F(QuillonOtaTest, EmptyImagesAreRefusedBeforeAnythingIsSent) {
  const auto from_file = run({make_image(0, "empty.bin")});
  EXPECT_EQ(from_file.status, 4) << from_file.output;
  EXPECT_TRUE(from_file.says("firmware image not available: image is empty")) << from_file.verdict();
  EXPECT_FALSE(from_file.says("scanning")) << "refused before looking for the module";

  LoopbackHttpServer server(QUILLON_TEST_HTTP_SERVER, home_.path() / "requests.log");
  const auto downloaded = run({server.url("/empty.bin?size=0"), "--progress", "lines"});
  EXPECT_EQ(downloaded.status, 4) << downloaded.output;
  EXPECT_TRUE(downloaded.says("image is empty")) << downloaded.verdict();
  EXPECT_FALSE(downloaded.says("sending")) << downloaded.output;
}

TEST_F(QuillonOtaTest, AnImageThatShrinksDuringTheTransferIsAFailureNotAShortSuccess) {
  // The file is replaced by a shorter one while it is being sent.
  const auto image = make_image(100000);
  ToolProcess tool({image, "--latency", "20", "--progress", "lines"}, home_.path());
  ASSERT_TRUE(tool.wait_for("sending 100000 bytes"));
  std::filesystem::resize_file(image, 1000);
  const auto result = tool.finish();
  EXPECT_EQ(result.status, 4) << result.output;
  EXPECT_TRUE(result.says("firmware image not available: image ended after ")) << result.verdict();
}

TEST_F(QuillonOtaTest, StopSignalsEndTheRunWithAVerdictAndNoHalfWrittenDownload) {
  {
    SCOPED_TRACE("Ctrl-C during the transfer, with the bar on screen");
    ToolProcess tool({make_image(100000), "--latency", "50", "--progress", "bar"}, home_.path());
    ASSERT_TRUE(tool.wait_for("% "));
    tool.signal(SIGINT);
    const auto result = tool.finish();
    EXPECT_EQ(result.status, 130) << result.output;
    // On a line of its own: the bar's line was finished first.
    EXPECT_EQ(result.verdict().rfind("quillon-ota: aborted (exit 130): interrupted (SIGINT)", 0), 0u)
        << result.output;
  }
  {
    SCOPED_TRACE("SIGTERM while the image downloads from a server that stalls");
    LoopbackHttpServer server(QUILLON_TEST_HTTP_SERVER, home_.path() / "requests.log");
    ToolProcess tool({server.url("/slow.bin?size=100000&hold=5000"), "--progress", "lines"}, home_.path());
    // Download progress shows while the body arrives.
    ASSERT_TRUE(tool.wait_for("progress:   5% (5000 of 100000 bytes"));
    // Its speed counts from the request (at least a tenth of a second
    // before the first line), not from the moment the line was drawn.
    ASSERT_TRUE(tool.wait_for(" left)"));
    const auto& shown = tool.output();
    const auto line = shown.substr(shown.find("progress:   5%"));
    EXPECT_EQ(line.substr(0, line.find('\n')).find("MiB/s"), std::string::npos) << line;
    EXPECT_EQ(line.substr(0, line.find('\n')).find("GiB/s"), std::string::npos) << line;
    const auto partial = home_.path() / "cache" / "quillon" / "slow.bin";
    EXPECT_TRUE(std::filesystem::exists(partial));
    tool.signal(SIGTERM);
    const auto result = tool.finish();
    EXPECT_EQ(result.status, 143) << result.output;
    EXPECT_EQ(result.verdict().rfind("quillon-ota: aborted (exit 143): terminated (SIGTERM)", 0), 0u)
        << result.output;
    EXPECT_FALSE(std::filesystem::exists(partial)) << "a half-written image stays in the cache";
  }
}

TEST_F(QuillonOtaTest, ScriptsGetTheVersionAndOneJsonObjectPerEvent) {
  const auto version = run({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.output, "quillon-ota 1.0.0\n");

  LoopbackHttpServer server(QUILLON_TEST_HTTP_SERVER, home_.path() / "requests.log");
  const auto result = run({server.url("/fw.bin?size=70000"), "--json", "--verify"});
  ASSERT_EQ(result.status, 0) << result.output;
  std::istringstream lines(result.output);
  std::vector<nlohmann::json> events;
  for (std::string line; std::getline(lines, line);) {
    ASSERT_NO_THROW(events.push_back(nlohmann::json::parse(line))) << line;
    ASSERT_TRUE(events.back().is_object() && events.back()["event"].is_string()) << line;
  }
  std::vector<std::string> names;
  for (const auto& e : events) {
    if (names.empty() || names.back() != e["event"]) names.push_back(e["event"]);
  }
  EXPECT_EQ(names, (std::vector<std::string>{"scanning", "found", "connected", "download", "transfer", "verify",
                                             "verdict"}));
  auto last_of = [&](const std::string& name) {
    nlohmann::json found;
    for (const auto& e : events) {
      if (e["event"] == name) found = e;
    }
    return found;
  };
  EXPECT_EQ(last_of("download")["bytes"], 70000);
  EXPECT_EQ(last_of("transfer")["bytes"], 70000);
  EXPECT_EQ(last_of("transfer")["total"], 70000);
  EXPECT_EQ(last_of("verify")["match"], true);
  EXPECT_EQ(last_of("verdict")["outcome"], "success");
  EXPECT_EQ(last_of("verdict")["exit_status"], 0);

  const auto missing = run({make_image(10), "--json", "--no-module", "--scan-timeout", "0.2"});
  EXPECT_EQ(missing.status, 3);
  const auto verdict = nlohmann::json::parse(missing.verdict());
  EXPECT_EQ(verdict["outcome"], "module_not_found");
  EXPECT_EQ(verdict["exit_status"], 3);
}

TEST_F(QuillonOtaTest, TheBarIsDrawnInPlaceWhenAsked) {
  const auto result = run({make_image(30000), "--progress", "bar"});
  EXPECT_EQ(result.status, 0) << result.output;
  EXPECT_TRUE(result.says("\r[##############################] 100%  29.3 KiB / 29.3 KiB")) << result.output;
  EXPECT_FALSE(result.says("progress:")) << "no plain lines beside the bar";
}

}  // namespace
}  // namespace quillon::ota_tool
