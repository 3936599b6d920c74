// Whole OTA transfers in process against the simulated module at mtu 247:
// prints the image throughput, host CPU time per DATA packet and the peak
// resident memory for a 1 MiB and a 256 MiB image. The image is a sparse
// temporary file read through the POSIX handle, and the module only counts
// and hashes what it receives, so memory must not grow with the image.
//
// Run: build/<dir>/bench/ota_transfer_bench
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "quillon/ota/ble_ota_controller.h"
#include "quillon/platform/posix_file_image_handle.h"
#include "quillon/sim/sim_ota_module.h"

namespace {

using namespace quillon;

class QueueDelegate final : public BLEOTADelegate {
 public:
  void ota_send_data(std::vector<std::uint8_t> packet) override { queue.push_back(std::move(packet)); }
  void ota_state_parameter(std::uint8_t state, std::int64_t parameter) override {
    if (state == OTA_STATE_COMPLETED) result = parameter;
  }
  std::deque<std::vector<std::uint8_t>> queue;
  std::int64_t result = -1;
};

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

long peak_rss_kib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

bool run(std::int64_t length) {
  char path[] = "/tmp/quillon_ota_bench_XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0 || ftruncate(fd, length) != 0) {
    std::perror("temp image");
    return false;
  }
  unlink(path);  // the handle keeps it while the transfer runs

  SimOtaModuleConfig config;
  config.mtu = 247;
  config.credit = 3;
  config.store_image = false;
  SimOtaModule module(config);

  OtaPlatform platform;
  platform.log = std::make_shared<NullLogSink>();
  BLEOTAController controller(platform);
  auto delegate = std::make_shared<QueueDelegate>();
  controller.setDelegate(delegate);

  const double cpu_before = cpu_seconds();
  const auto wall_before = std::chrono::steady_clock::now();
  controller.download_firmware_from_file(std::make_shared<PosixFileImageHandle>(fd));
  for (;;) {
    if (!delegate->queue.empty()) {
      module.receive(delegate->queue.front());
      delegate->queue.pop_front();
    } else if (auto chunk = module.take_output()) {
      controller.pkt_received(*chunk);
    } else {
      break;
    }
  }
  const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_before).count();
  const double cpu = cpu_seconds() - cpu_before;
  const auto packets = module.data_packets_received();

  std::printf("image %8.1f MiB: %7.1f MB/s, %6.0f ns host CPU per DATA packet (%llu packets, %.2f s), "
              "peak RSS %ld KiB, module verdict %lld, bytes %s\n",
              static_cast<double>(length) / (1024.0 * 1024.0), static_cast<double>(length) / wall / 1e6,
              cpu / static_cast<double>(packets) * 1e9, static_cast<unsigned long long>(packets), wall,
              peak_rss_kib(), static_cast<long long>(delegate->result),
              module.image_length() == static_cast<std::uint64_t>(length) ? "all received" : "MISSING");
  return delegate->result == OTA_SUCCESS;
}

}  // namespace

int main() {
  std::printf("OTA transfer, in process, mtu 247, credit 3, sparse file image\n");
  bool ok = run(std::int64_t{1} << 20);
  ok = run(std::int64_t{256} << 20) && ok;
  return ok ? 0 : 1;
}
