// Whole OTA transfers in process against the simulated module at mtu 247:
// prints the image throughput, host CPU time per DATA packet and the peak
// resident memory for a 1 MiB and a 256 MiB image. The image is a sparse
// temporary file read through the POSIX handle, and the module only counts
// and hashes what it receives, so memory must not grow with the image.
//
// Then the controller alone, which is what a host pays per packet: the
// module's acknowledgements are made up front and handed straight to
// pkt_received, and the delegate drops each packet. Its CPU time per DATA
// packet is printed beside that of a bare buffered read of the same file in
// pieces of the same size (fread through a 64 KiB stdio buffer), and the ratio.
//
// Run: build/<dir>/bench/ota_transfer_bench
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "process_usage.h"
#include "quillon/ota/ble_ota_controller.h"
#include "quillon/ota/ota_packet.h"
#include "quillon/platform/posix_file_image_handle.h"
#include "quillon/module/ota_module.h"

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



bool run(std::int64_t length) {
  char path[] = "/tmp/quillon_ota_bench_XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0 || ftruncate(fd, length) != 0) {
    std::perror("temp image");
    return false;
  }
  unlink(path);  // the handle keeps it while the transfer runs

  OtaModuleConfig config;
  config.mtu = 247;
  config.credit = 3;
  config.store_image = false;
  config.max_image_length = static_cast<std::uint32_t>(length);  // beyond a real module's flash
  OtaModule module(config);

  OtaPlatform platform;
  platform.log = std::make_shared<NullLogSink>();
  BLEOTAController controller(platform);
  auto delegate = std::make_shared<QueueDelegate>();
  controller.setDelegate(delegate);

  const double cpu_before = bench::cpu_seconds();
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
  const double cpu = bench::cpu_seconds() - cpu_before;
  const auto packets = module.data_packets_received();

  std::printf("image %8.1f MiB: %7.1f MB/s, %6.0f ns host CPU per DATA packet (%llu packets, %.2f s), "
              "peak RSS %ld KiB, module verdict %lld, bytes %s\n",
              static_cast<double>(length) / (1024.0 * 1024.0), static_cast<double>(length) / wall / 1e6,
              cpu / static_cast<double>(packets) * 1e9, static_cast<unsigned long long>(packets), wall,
              bench::peak_rss_kib(), static_cast<long long>(delegate->result),
              module.image_length() == static_cast<std::uint64_t>(length) ? "all received" : "MISSING");
  return delegate->result == OTA_SUCCESS;
}

class DroppingDelegate final : public BLEOTADelegate {
 public:
  void ota_send_data(std::vector<std::uint8_t> packet) override {
    ++packets;
    if (packet[0] == OTA_CMD_END) ended = true;
  }
  void ota_state_parameter(std::uint8_t, std::int64_t) override {}
  std::uint64_t packets = 0;
  bool ended = false;
};

// A temporary image file of `length` bytes with varied contents (not a
// sparse one, so that the reads copy real bytes), unlinked at once.
int make_image_file(std::int64_t length) {
  char path[] = "/tmp/quillon_ota_bench_XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) return -1;
  unlink(path);
  std::vector<std::uint8_t> block(1 << 20);
  for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<std::uint8_t>(i * 131 + i / 251);
  for (std::int64_t done = 0; done < length;) {
    const auto n = static_cast<std::size_t>(std::min<std::int64_t>(length - done, static_cast<std::int64_t>(block.size())));
    if (write(fd, block.data(), n) != static_cast<ssize_t>(n)) return -1;
    done += static_cast<std::int64_t>(n);
  }
  return fd;
}

// CPU seconds per DATA packet for the controller alone over the image in fd.
double controller_alone(int fd, std::uint64_t& packets) {
  OtaPlatform platform;
  platform.log = std::make_shared<NullLogSink>();
  BLEOTAController controller(platform);
  auto delegate = std::make_shared<DroppingDelegate>();
  controller.setDelegate(delegate);
  const auto ack_start = encode_ack_start(0, 247, 3);
  const auto ack_data = encode_ack_data(0, 0);

  lseek(fd, 0, SEEK_SET);
  const double before = bench::cpu_seconds();
  controller.download_firmware_from_file(std::make_shared<PosixFileImageHandle>(dup(fd)));
  controller.pkt_received(ack_start);
  while (!delegate->ended) controller.pkt_received(ack_data);
  const double cpu = bench::cpu_seconds() - before;
  packets = static_cast<std::uint64_t>(controller.current_id());
  return cpu / static_cast<double>(packets);
}

// CPU seconds per piece for a plain buffered read of the image in pieces of
// `piece` bytes, each into a buffer of its own, as a host's own loop would.
double bare_buffered_read(int fd, std::size_t piece) {
  lseek(fd, 0, SEEK_SET);
  FILE* in = fdopen(dup(fd), "rb");
  std::vector<char> stdio_buffer(64 * 1024);
  setvbuf(in, stdio_buffer.data(), _IOFBF, stdio_buffer.size());
  std::uint64_t pieces = 0;
  std::uint64_t bytes = 0;
  const double before = bench::cpu_seconds();
  for (;;) {
    std::vector<std::uint8_t> buffer(piece);
    const std::size_t got = std::fread(buffer.data(), 1, piece, in);
    if (got == 0) break;
    bytes += buffer[got - 1];
    ++pieces;
  }
  const double cpu = bench::cpu_seconds() - before;
  std::fclose(in);
  if (bytes == 1) std::printf(" ");  // keeps the reads from being optimised away
  return cpu / static_cast<double>(pieces);
}

void compare_with_bare_read(std::int64_t length) {
  const int fd = make_image_file(length);
  if (fd < 0) {
    std::perror("temp image");
    return;
  }
  std::uint64_t packets = 0;
  const double controller = controller_alone(fd, packets);
  const double bare = bare_buffered_read(fd, 243);
  std::printf("controller alone, %5.0f MiB file: %6.0f ns CPU per DATA packet (%llu packets); "
              "bare buffered read of 243-byte pieces: %6.0f ns; ratio %.2f\n",
              static_cast<double>(length) / (1024.0 * 1024.0), controller * 1e9,
              static_cast<unsigned long long>(packets), bare * 1e9, controller / bare);
  close(fd);
}

}  // namespace

int main() {
  std::printf("OTA transfer, in process, mtu 247, credit 3, sparse file image\n");
  bool ok = run(std::int64_t{1} << 20);
  ok = run(std::int64_t{256} << 20) && ok;
  std::printf("The controller alone, mtu 247, credit 3 (targets: at most 250 ns per packet, ratio at most 2)\n");
  compare_with_bare_read(std::int64_t{256} << 20);
  return ok ? 0 : 1;
}
