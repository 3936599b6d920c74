// How fast the controller downloads a firmware image, next to the curl
// command-line tool fetching the same bytes from the same loopback server,
// and how much memory the download takes (it must not grow with the image).
//
//   download_bench [MiB]        (default 256)
//
// Each round times BLEOTAController::download_firmware_from_url from the call
// to its OTA_STATE_STARTING report (file in a scratch cache folder, log lines
// discarded), then `curl -s -o FILE URL`. Prints the best of three rounds of
// each, their ratio, and this process's peak resident set size (ru_maxrss)
// before and after the downloads. (The curl tool's own figure is not shown:
// a child spawned with a shared address space inherits its parent's peak.)
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "../ble/tests/download/loopback_http_server.h"
#include "../ble/tests/download/scratch_directory.h"
#include "process_usage.h"
#include "quillon/ota/ble_ota_controller.h"
#include "quillon/ota/ota_codes.h"
#include "quillon/platform/run_loop.h"

namespace {

using namespace std::chrono_literals;
using Seconds = std::chrono::duration<double>;

class NoWatchdog final : public quillon::WatchdogThread {
 public:
  void cancel() override {}
  bool isCancelled() const override { return true; }
  bool finished() const override { return true; }
  void join() override {}
  void sleep_period() override {}
};

class NoWatchdogs final : public quillon::WatchdogFactory {
 public:
  std::shared_ptr<quillon::WatchdogThread> start(Body) override { return std::make_shared<NoWatchdog>(); }
};

class StartingWatcher final : public quillon::BLEOTADelegate {
 public:
  void ota_send_data(std::vector<std::uint8_t>) override {}
  void ota_state_parameter(std::uint8_t state, std::int64_t parameter) override {
    if (state == quillon::OTA_STATE_STARTING) starting = true;
    if (state == quillon::OTA_STATE_COMPLETED) failed = parameter != quillon::OTA_SUCCESS;
  }
  bool starting = false;
  bool failed = false;
};


double time_controller(const std::string& url) {
  auto loop = std::make_shared<quillon::RunLoop>();
  auto watcher = std::make_shared<StartingWatcher>();
  quillon::OtaPlatform platform;
  platform.log = std::make_shared<quillon::NullLogSink>();
  platform.watchdogs = std::make_shared<NoWatchdogs>();
  platform.main_queue = loop;
  quillon::BLEOTAController controller(std::move(platform));
  controller.setDelegate(watcher);
  const auto began = std::chrono::steady_clock::now();
  controller.download_firmware_from_url(url);
  loop->run_until([&] { return watcher->starting || watcher->failed; }, 600s);
  const auto took = Seconds(std::chrono::steady_clock::now() - began).count();
  if (!watcher->starting) {
    std::fprintf(stderr, "the controller's download failed\n");
    std::exit(1);
  }
  return took;
}

double time_curl_tool(const std::string& url, const std::filesystem::path& out) {
  const std::string out_text = out.string();
  char* argv[] = {const_cast<char*>("curl"), const_cast<char*>("-s"), const_cast<char*>("-o"),
                  const_cast<char*>(out_text.c_str()), const_cast<char*>(url.c_str()), nullptr};
  const auto began = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (posix_spawnp(&pid, "curl", nullptr, nullptr, argv, environ) != 0) {
    std::fprintf(stderr, "cannot run curl\n");
    std::exit(1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  const auto took = Seconds(std::chrono::steady_clock::now() - began).count();
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "curl failed\n");
    std::exit(1);
  }
  return took;
}

}  // namespace

int main(int argc, char** argv) {
  const long mib = argc > 1 ? std::atol(argv[1]) : 256;
  const std::uint64_t size = static_cast<std::uint64_t>(mib) << 20;
  quillon::test_support::ScratchDirectory scratch;
  quillon::test_support::ScopedEnv cache("XDG_CACHE_HOME", (scratch.path() / "cache").c_str());
  const auto script = std::filesystem::path(__FILE__).parent_path() / ".." / "ble" / "tests" /
                      "download" / "http_test_server.py";
  quillon::test_support::LoopbackHttpServer server(script, scratch.path() / "requests.log");
  const std::string url = server.url("/image.bin?size=" + std::to_string(size));

  const long rss_before = bench::peak_rss_kib();
  double best_controller = 1e9;
  double best_curl = 1e9;
  for (int round = 0; round < 3; ++round) {
    best_controller = std::min(best_controller, time_controller(url));
    best_curl = std::min(best_curl, time_curl_tool(url, scratch.path() / "curl.bin"));
    std::filesystem::remove(scratch.path() / "curl.bin");
  }
  const long rss_after = bench::peak_rss_kib();
  const auto stored = std::filesystem::file_size(scratch.path() / "cache" / "quillon" / "image.bin");
  if (stored != size) {
    std::fprintf(stderr, "stored %llu bytes, expected %llu\n", static_cast<unsigned long long>(stored),
                 static_cast<unsigned long long>(size));
    return 1;
  }

  std::printf("image: %ld MiB over 127.0.0.1, best of 3 rounds\n", mib);
  std::printf("controller download: %.3f s (%.0f MiB/s)\n", best_controller, mib / best_controller);
  std::printf("curl tool:           %.3f s (%.0f MiB/s)\n", best_curl, mib / best_curl);
  std::printf("ratio controller/curl: %.2f\n", best_controller / best_curl);
  std::printf("peak RSS of this process: %ld KiB before the downloads, %ld KiB after\n", rss_before,
              rss_after);
  return 0;
}
