// The controller's download path end to end: a loopback HTTP server, the
// libcurl client, the cache folder, and the transfer into a simulated OTA
// module, all carried by one run loop on the test's thread.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "loopback_http_server.h"
#include "quillon/integrity/sha256_digest.h"
#include "quillon/net/curl_http_client.h"
#include "quillon/ota/ble_ota_controller.h"
#include "support/idle_watchdog.h"
#include "quillon/ota/ota_codes.h"
#include "quillon/platform/posix_file_image_handle.h"
#include "quillon/platform/run_loop.h"
#include "quillon/module/ota_module.h"
#include "scratch_directory.h"

namespace quillon {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;


// Keeps the download's own log lines, and the failures, but not the
// transfer's per-packet lines, so a large image keeps the log small.
class DownloadLog final : public LogSink {
 public:
  void line(std::string_view text) override {
    if (text.starts_with("file ") || text.starts_with("download failed")) lines.emplace_back(text);
  }
  std::vector<std::string> lines;
};

using Report = std::pair<int, std::int64_t>;

// The host app: carries packets to the module and the module's chunks back
// through the run loop (never re-entering pkt_received), and keeps reports.
class Host final : public BLEOTADelegate {
 public:
  Host(std::shared_ptr<RunLoop> loop, OtaModuleConfig config) : loop_(std::move(loop)), module(config) {
    module.set_output([this](std::vector<std::uint8_t> chunk) {
      loop_->post([this, chunk = std::move(chunk)] {
        if (controller != nullptr) controller->pkt_received(chunk);
      });
    });
  }
  void ota_send_data(std::vector<std::uint8_t> packet) override { module.receive(packet); }
  void ota_state_parameter(std::uint8_t state, std::int64_t parameter) override {
    reports.emplace_back(state, parameter);
    if (state == OTA_STATE_COMPLETED) completed_ = true;
  }
  bool completed() const { return completed_; }

  BLEOTAController* controller = nullptr;
  std::vector<Report> reports;

 private:
  std::shared_ptr<RunLoop> loop_;
  bool completed_ = false;

 public:
  OtaModule module;
};

std::vector<std::uint8_t> file_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::uint8_t> served(std::size_t size) {
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = test_support::served_byte(i);
  return bytes;
}

bool contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

class OtaDownloadTest : public ::testing::Test {
 protected:
  OtaDownloadTest()
      : cache_env_("XDG_CACHE_HOME", (scratch_.path() / "cache").c_str()),
        server_(QUILLON_TEST_HTTP_SERVER, scratch_.path() / "requests.log") {}

  // A fresh host, controller and module for each run.
  void make_controller(std::shared_ptr<HttpClient> http = nullptr,
                       OtaModuleConfig config = {}) {
    controller_.reset();
    log_ = std::make_shared<DownloadLog>();
    host_ = std::make_shared<Host>(loop_, config);
    OtaPlatform platform;
    platform.log = log_;
    platform.watchdogs = std::make_shared<quillon::test::IdleWatchdogFactory>();
    platform.main_queue = loop_;
    if (http) platform.http = std::move(http);
    controller_ = std::make_unique<BLEOTAController>(std::move(platform));
    controller_->setDelegate(host_);
    host_->controller = controller_.get();
  }

  void run_until_completed() {
    ASSERT_TRUE(loop_->run_until([&] { return host_->completed(); }, 120s));
    loop_->run_until_idle();
  }

  fs::path cache_folder() const { return scratch_.path() / "cache" / "quillon"; }

  test_support::ScratchDirectory scratch_;
  test_support::ScopedEnv cache_env_;
  test_support::LoopbackHttpServer server_;
  std::shared_ptr<RunLoop> loop_ = std::make_shared<RunLoop>();
  std::shared_ptr<DownloadLog> log_;
  std::shared_ptr<Host> host_;
  std::unique_ptr<BLEOTAController> controller_;
};

TEST_F(OtaDownloadTest, CompleteDownloadIsStoredThenSentToTheModule) {
  struct Case {
    const char* path;
    std::size_t size;
    std::int64_t announced;  // in the log
    const char* file_name;
  };
  const Case cases[] = {
      {"/fw/app.bin?size=5000", 5000, 5000, "app.bin"},
      {"/fw/app.bin?size=5000&status=206", 5000, 5000, "app.bin"},
      {"/fw/app.bin?size=5000&length=chunked", 5000, -1, "app.bin"},
      {"/fw/app.bin?size=5000&length=none", 5000, -1, "app.bin"},
      {"/fw/empty.bin?size=0", 0, 0, "empty.bin"},
      {"/fw/x?size=700&cd=attachment%3B%20filename%3D%22named.bin%22", 700, 700, "named.bin"},
      {"/fw/x?size=700&cd=attachment%3B%20filename%3D%22..%2F..%2Fevil%22", 700, 700, "evil"},
      {"/fw/x?size=700&cd=attachment%3B%20filename%3D%22%2Ftmp%2Fabs.bin%22", 700, 700, "abs.bin"},
      {"/fw/?size=700", 700, 700, "firmware.bin"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    make_controller();
    controller_->download_firmware_from_url(server_.url(c.path));
    run_until_completed();

    EXPECT_EQ(server_.requests().back(), std::string(c.path) + " range=bytes=0-");
    const auto path = cache_folder() / c.file_name;
    EXPECT_EQ(controller_->address(), path.string());
    EXPECT_EQ(file_bytes(path), served(c.size));

    ASSERT_GE(host_->reports.size(), 3u);
    EXPECT_EQ(host_->reports.front(), Report(OTA_STATE_STARTING, 0));
    EXPECT_EQ(host_->reports[1], Report(OTA_STATE_STARTED, static_cast<std::int64_t>(c.size)));
    EXPECT_EQ(host_->reports.back(), Report(OTA_STATE_COMPLETED, OTA_SUCCESS));
    // START announces the bytes stored, even when the server announced none.
    EXPECT_EQ(host_->module.announced_length(), c.size);
    EXPECT_EQ(host_->module.image(), served(c.size));
    EXPECT_TRUE(host_->module.violations().empty());

    EXPECT_EQ(log_->lines.front(), "file total length = " + std::to_string(c.announced));
    if (c.size > 0) {
      EXPECT_EQ(log_->lines.back(),
                "file downloading " + std::to_string(c.size) + "/" + std::to_string(c.announced));
    } else {
      EXPECT_EQ(log_->lines.size(), 1u);
    }
  }
  // Nothing was written outside the cache folder.
  EXPECT_FALSE(fs::exists(scratch_.path() / "evil"));
  EXPECT_FALSE(fs::exists(scratch_.path() / "cache" / "evil"));
}

TEST_F(OtaDownloadTest, FailedDownloadReportsOtherAndSendsNothing) {
  // A good image of the same name is already in the cache; failures must
  // leave it alone or remove only their own half-written file.
  make_controller();
  controller_->download_firmware_from_url(server_.url("/fw/keep.bin?size=300"));
  run_until_completed();
  const auto kept = cache_folder() / "keep.bin";
  ASSERT_EQ(file_bytes(kept), served(300));

  struct Case {
    std::string url;
    std::string log_line;  // empty: any "download failed: ..." line
    bool leaves_kept_image;
  };
  const Case cases[] = {
      {server_.url("/fw/keep.bin?size=50&status=404"), "download failed: HTTP status 404", true},
      {server_.url("/fw/keep.bin?size=50&status=500"), "download failed: HTTP status 500", true},
      // We ask for the whole image: a 206 for any other range is half an image.
      {server_.url("/fw/keep.bin?size=50&status=206&range=bytes%2010-59/60"),
       "download failed: HTTP status 206 for part of the image (Content-Range: bytes 10-59/60)", true},
      {server_.url("/fw/keep.bin?size=50&status=206&range=bytes%200-49/100"),
       "download failed: HTTP status 206 for part of the image (Content-Range: bytes 0-49/100)", true},
      {"http://127.0.0.1:" + std::to_string(test_support::refused_port()) + "/fw/keep.bin", "", true},
      {server_.url("/fw/cut.bin?size=100000&cut=40000"), "", true},
      {server_.url("/fw/cut.bin?size=100000&cut=40000&length=chunked"), "", true},
      {server_.url("/fw/keep.bin?size=100000&cut=40000"), "", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    make_controller();
    controller_->download_firmware_from_url(c.url);
    run_until_completed();
    EXPECT_EQ(host_->reports, std::vector<Report>{Report(OTA_STATE_COMPLETED, OTA_ERR_OTHER)});
    EXPECT_EQ(host_->module.packets_received(), 0u);
    ASSERT_FALSE(log_->lines.empty());
    // The caller learns why from the controller, not from the line.
    ASSERT_TRUE(controller_->image_failure().has_value());
    EXPECT_EQ(controller_->image_failure()->reason, ImageFailureReason::DownloadFailed);
    EXPECT_EQ(controller_->image_failure()->message, log_->lines.back());
    if (c.log_line.empty()) {
      EXPECT_TRUE(log_->lines.back().starts_with("download failed: ")) << log_->lines.back();
    } else {
      EXPECT_EQ(log_->lines.back(), c.log_line);
    }
    EXPECT_FALSE(fs::exists(cache_folder() / "cut.bin"));
    EXPECT_EQ(fs::exists(kept), c.leaves_kept_image);
    EXPECT_EQ(controller_->http_conn(), nullptr);
  }
}

TEST_F(OtaDownloadTest, ADownloadThatIsNotTheExpectedImageIsRemovedAndNeverSent) {
  const auto expected = sha256_of_bytes(served(4000));
  make_controller();
  controller_->setExpected_sha256(expected);
  controller_->download_firmware_from_url(server_.url("/fw/checked.bin?size=4000"));
  run_until_completed();
  EXPECT_EQ(host_->reports.back(), Report(OTA_STATE_COMPLETED, OTA_SUCCESS));
  EXPECT_EQ(host_->module.image(), served(4000));

  make_controller();
  controller_->setExpected_sha256(expected);
  controller_->download_firmware_from_url(server_.url("/fw/checked.bin?size=4001"));
  run_until_completed();
  EXPECT_EQ(host_->reports, std::vector<Report>{Report(OTA_STATE_COMPLETED, OTA_ERR_OTHER)});
  EXPECT_EQ(host_->module.packets_received(), 0u);
  EXPECT_FALSE(fs::exists(cache_folder() / "checked.bin"));
}

TEST_F(OtaDownloadTest, SameSuggestedNameTwiceKeepsTheSecond) {
  make_controller();
  controller_->download_firmware_from_url(server_.url("/a/same.bin?size=9000"));
  run_until_completed();
  make_controller();
  controller_->download_firmware_from_url(server_.url("/b/same.bin?size=400"));
  run_until_completed();
  EXPECT_EQ(file_bytes(cache_folder() / "same.bin"), served(400));
  EXPECT_EQ(host_->module.image(), served(400));
  EXPECT_EQ(host_->reports.back(), Report(OTA_STATE_COMPLETED, OTA_SUCCESS));
}

TEST_F(OtaDownloadTest, SecondDownloadCancelsTheFirstWhichNeverCallsBack) {
  make_controller();
  controller_->download_firmware_from_url(server_.url("/first.bin?size=100000&hold=1000"));
  ASSERT_TRUE(loop_->run_until([&] { return contains(log_->lines, "file downloading 1000/100000"); }, 30s));

  controller_->download_firmware_from_url(server_.url("/second.bin?size=2000"));
  run_until_completed();
  loop_->run_for(100ms);

  EXPECT_EQ(log_->lines, (std::vector<std::string>{"file total length = 100000",
                                                   "file downloading 1000/100000",
                                                   "file total length = 2000",
                                                   "file downloading 2000/2000"}));
  EXPECT_EQ(std::count(host_->reports.begin(), host_->reports.end(), Report(OTA_STATE_STARTING, 0)), 1);
  EXPECT_EQ(host_->reports.back(), Report(OTA_STATE_COMPLETED, OTA_SUCCESS));
  EXPECT_EQ(host_->module.image(), served(2000));
  EXPECT_FALSE(fs::exists(cache_folder() / "first.bin"));
}

TEST_F(OtaDownloadTest, DestroyingTheControllerMidDownloadCancelsIt) {
  make_controller();
  controller_->download_firmware_from_url(server_.url("/mid.bin?size=100000&hold=5000"));
  ASSERT_TRUE(loop_->run_until([&] { return contains(log_->lines, "file downloading 5000/100000"); }, 30s));
  host_->controller = nullptr;
  controller_.reset();
  loop_->run_for(200ms);
  EXPECT_TRUE(host_->reports.empty());
  EXPECT_EQ(host_->module.packets_received(), 0u);
  EXPECT_FALSE(fs::exists(cache_folder() / "mid.bin"));  // half-written, so removed
}

// A client whose connections only record that they were dropped; the test
// delivers their events by hand.
class HandDrivenHttp final : public HttpClient {
 public:
  class Connection final : public HttpConnection {
   public:
    explicit Connection(bool& dropped) : dropped_(dropped) {}
    ~Connection() override { dropped_ = true; }
    void cancel() override { dropped_ = true; }

   private:
    bool& dropped_;
  };
  std::unique_ptr<HttpConnection> get(const std::string&, const HttpHeaders&, HttpConnectionDelegate&,
                                      RunLoop&) override {
    dropped = false;
    auto connection = std::make_unique<Connection>(dropped);
    last = connection.get();
    return connection;
  }
  Connection* last = nullptr;
  bool dropped = false;
};

TEST_F(OtaDownloadTest, HostFileTakenMidDownloadEndsTheDownload) {
  // The host's own image must not receive the rest of the body, nor may the
  // download's end start a second transfer over it.
  auto http = std::make_shared<HandDrivenHttp>();
  make_controller(http);
  controller_->download_firmware_from_url("http://127.0.0.1:1/fw/late.bin");
  ASSERT_NE(http->last, nullptr);
  HttpResponse response;
  response.status_code = 200;
  response.expected_content_length = 1000;
  response.suggested_filename = "late.bin";
  controller_->connection_didReceiveResponse(*http->last, response);
  controller_->connection_didReceiveData(*http->last, served(400));
  ASSERT_TRUE(fs::exists(cache_folder() / "late.bin"));

  const auto host_file = scratch_.path() / "host.bin";
  { std::ofstream(host_file, std::ios::binary).write("0123456789", 10); }
  controller_->download_firmware_from_file(PosixFileImageHandle::open_for_updating(host_file.string()));
  loop_->run_until_idle();
  if (!http->dropped) {  // a connection still running goes on delivering
    controller_->connection_didReceiveData(*http->last, served(600));
    controller_->connectionDidFinishLoading(*http->last);
    loop_->run_until_idle();
  }

  EXPECT_TRUE(http->dropped);
  EXPECT_EQ(controller_->http_conn(), nullptr);
  EXPECT_FALSE(fs::exists(cache_folder() / "late.bin"));  // half-written, so removed
  EXPECT_EQ(fs::file_size(host_file), 10u);
  EXPECT_EQ(std::count(host_->reports.begin(), host_->reports.end(), Report(OTA_STATE_STARTING, 0)), 1);
  EXPECT_EQ(host_->module.announced_length(), 10u);
  EXPECT_EQ(host_->module.image(), std::vector<std::uint8_t>(file_bytes(host_file)));
  EXPECT_EQ(host_->reports.back(), Report(OTA_STATE_COMPLETED, OTA_SUCCESS));
}

TEST_F(OtaDownloadTest, NoRunLoopFailsAtOnce) {
  OtaPlatform platform;
  platform.log = log_ = std::make_shared<DownloadLog>();
  platform.watchdogs = std::make_shared<quillon::test::IdleWatchdogFactory>();
  host_ = std::make_shared<Host>(loop_, OtaModuleConfig{});
  BLEOTAController controller(std::move(platform));
  controller.setDelegate(host_);
  controller.download_firmware_from_url(server_.url("/fw.bin?size=10"));
  EXPECT_EQ(host_->reports, std::vector<Report>{Report(OTA_STATE_COMPLETED, OTA_ERR_OTHER)});
  EXPECT_EQ(log_->lines, std::vector<std::string>{"download failed: no run loop to deliver the download on"});
}

TEST_F(OtaDownloadTest, LargeImageStreamsWithBoundedBytesInFlight) {
  CurlHttpClient::Options options;
  options.max_bytes_in_flight = 256 * 1024;
  auto http = std::make_shared<CurlHttpClient>(options);
  constexpr std::size_t kSize = 24u << 20;
  OtaModuleConfig config;
  config.store_image = false;
  config.max_image_length = kSize;  // beyond a real module's flash
  make_controller(http, config);
  controller_->download_firmware_from_url(server_.url("/large.bin?size=" + std::to_string(kSize)));
  run_until_completed();

  EXPECT_EQ(host_->reports.back(), Report(OTA_STATE_COMPLETED, OTA_SUCCESS));
  EXPECT_EQ(host_->module.image_length(), kSize);
  EXPECT_EQ(host_->module.image_hash(), OtaModule::hash_of(served(kSize)));
  EXPECT_EQ(fs::file_size(cache_folder() / "large.bin"), kSize);
  EXPECT_LE(http->peak_bytes_in_flight(), options.max_bytes_in_flight + CurlHttpClient::kReceivePieceBytes);
}

}  // namespace
}  // namespace quillon
