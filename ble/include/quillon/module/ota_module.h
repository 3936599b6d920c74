// The printer module's side of the OTA protocol, one implementation for
// every place that plays the module: the simulated world (tests, tools, the
// demo) and quillon-module, which serves it from a Linux adapter. Packets
// written by the host go in through receive(), and the chunks the module
// sends back on the OTA characteristic come out of an outbox (or go to an
// output callback). No I/O and no threads; the caller carries bytes.
//
// It answers START with an acknowledgement granting the configured mtu and
// credit, checks every checksum and that DATA indices run 0, 1, 2... (mod
// 65,536), acknowledges each window (the first after `credit` DATA packets,
// then every `data_window`), keeps the image (or only counts and hashes it)
// and answers the host's END with its own END: OTA_SUCCESS only when exactly
// the announced length arrived and nothing was wrong, else OTA_ERR_OTHER (or
// OTA_ERR_CHECK_SUM_FAIL after a bad checksum). Faults can be injected.
//
// Whoever is in radio range may write to a module, so what it keeps is
// bounded by what was announced, never by what is sent: a START announcing
// more than `max_image_length` is refused (its acknowledgement carries
// OTA_ERR_OTHER and no credit, and the module's END with OTA_ERR_OTHER
// follows at once), DATA outside a transfer (before START, after a refused
// START, after END) is never kept, and of DATA beyond the announced length
// only what fits is kept. Each START begins a transfer afresh: its verdict
// depends only on what arrives from it to END. The list of what went wrong
// is bounded too: repeats of one complaint are counted in its entry, and
// after kMaxViolationsListed entries further ones are only counted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

struct OtaHostPacket;

struct OtaModuleFaults {
  // Acknowledgements are numbered from 0 (that of START) in the order the
  // module makes them.
  std::optional<std::uint64_t> corrupt_ack;     // this one goes out with a wrong checksum
  std::optional<std::uint64_t> drop_ack;        // this one is never sent
  std::optional<std::uint64_t> unknown_opcode_ack;  // this one names opcode 0xF7
  bool corrupt_end = false;          // the module's END has a wrong checksum
  bool ack_end = false;              // FC F3 goes out before the module's END
  // Stops answering after this many host packets (0: never answers at all).
  std::optional<std::uint64_t> silent_after;
  // >0: every packet goes out cut into chunks of at most this many bytes.
  std::size_t split_chunks_at = 0;
  // Everything answered to one host packet goes out as one chunk.
  bool merge_chunks = false;
};

// The largest image a module takes by default: 4 MiB, the flash of the
// common BLE module parts (nRF52840 and CC2652 hold 1 MiB or less on chip,
// ESP32 modules 4 MB), so that any image a real printer module accepts fits
// in the simulated one, while a peer announcing up to 4 GiB is refused.
inline constexpr std::uint32_t kOtaModuleDefaultMaxImage = 4u * 1024 * 1024;

struct OtaModuleConfig {
  std::uint8_t start_result = 0;  // `result` in the acknowledgement of START
  std::uint8_t mtu = 247;
  std::uint8_t credit = 3;        // granted with START: the first window
  std::uint8_t data_window = 3;   // DATA packets per later window
  bool store_image = true;        // false: count and hash only (big images)
  // A START announcing more bytes than this is refused, stored or not.
  std::uint32_t max_image_length = kOtaModuleDefaultMaxImage;
  OtaModuleFaults faults;
};

class OtaModule {
 public:
  // Distinct complaints listed in violations(); later ones are only counted.
  static constexpr std::size_t kMaxViolationsListed = 16;

  using Output = std::function<void(std::vector<std::uint8_t> chunk)>;

  explicit OtaModule(OtaModuleConfig config = {});

  // Takes one packet written by the host on the OTA characteristic.
  void receive(std::span<const std::uint8_t> packet);

  // Where chunks for the host go: with no output set they wait in the outbox.
  void set_output(Output output) { output_ = std::move(output); }
  // The oldest waiting chunk; empty optional when none.
  std::optional<std::vector<std::uint8_t>> take_output();

  // Starts over as if freshly made (keeps config and output).
  void reset();

  // --- what it saw ---------------------------------------------------------
  // The image bytes kept: never more than the announced length.
  const std::vector<std::uint8_t>& image() const { return image_; }
  // Image bytes received in DATA since START, kept or not.
  std::uint64_t image_length() const { return image_length_; }
  std::uint64_t image_hash() const { return image_hash_; }  // FNV-1a 64 of the bytes kept
  // What the last accepted START announced (0 after a refused one).
  std::uint32_t announced_length() const { return announced_length_; }
  // A START was accepted and no END has come since.
  bool in_transfer() const { return started_ && !ended_; }
  // The last START was refused (it announced more than max_image_length).
  bool start_refused() const { return start_refused_; }
  std::uint64_t packets_received() const { return packets_received_; }
  std::uint64_t data_packets_received() const { return data_packets_; }
  std::uint64_t ends_received() const { return ends_received_; }
  std::optional<std::uint8_t> verdict() const { return verdict_; }  // of the last END sent
  // What went wrong since the last START (or, before any, since the module
  // was made): at most kMaxViolationsListed entries, a complaint made n > 1
  // times in a row listed once as "... (n times)".
  std::vector<std::string> violations() const;
  // Distinct complaints made after the list was full.
  std::uint64_t violations_not_listed() const { return violations_not_listed_; }

  // FNV-1a 64 of bytes, for comparing with image_hash() without storing.
  static std::uint64_t hash_of(std::span<const std::uint8_t> bytes,
                               std::uint64_t seed = 0xcbf29ce484222325ULL);

 private:
  void violation(std::string_view what);
  // A complaint whose text must be built: built only while the list has room.
  template <typename Make>
  void violation_built(Make make);
  void start(const OtaHostPacket& in, bool silent);
  void take_data(const OtaHostPacket& in);
  void queue_ack(std::vector<std::uint8_t> ack);
  void emit(std::vector<std::uint8_t> packet);
  void flush_merged();

  OtaModuleConfig config_;
  Output output_;
  // Chunks waiting for take_output(), the first outbox_taken_ gone. Not a
  // deque: every START makes a fresh module, and an empty deque allocates.
  std::vector<std::vector<std::uint8_t>> outbox_;
  std::size_t outbox_taken_ = 0;
  std::vector<std::uint8_t> merged_;

  bool started_ = false;
  bool ended_ = false;
  bool start_refused_ = false;
  bool bad_checksum_seen_ = false;
  std::uint32_t announced_length_ = 0;
  std::uint16_t expected_index_ = 0;
  std::uint64_t window_left_ = 0;
  std::vector<std::uint8_t> image_;
  std::uint64_t image_length_ = 0;
  std::uint64_t image_hash_ = 0xcbf29ce484222325ULL;
  std::uint64_t packets_received_ = 0;
  std::uint64_t data_packets_ = 0;
  std::uint64_t acks_made_ = 0;
  std::uint64_t ends_received_ = 0;
  std::optional<std::uint8_t> verdict_;
  struct Complaint {
    std::string text;
    std::uint64_t times;  // in a row
  };
  std::vector<Complaint> complaints_;
  std::uint64_t violations_not_listed_ = 0;
};

}  // namespace quillon
