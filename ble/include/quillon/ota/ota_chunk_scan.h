// The scan of one chunk received from the module: splits the chunk into the
// packets it holds, back to back, and checks each one's checksum. Pure: it
// neither acts nor logs; BLEOTAController::pkt_received acts on each item in
// order. No bytes carry over between chunks, and nothing past the chunk's end
// is ever read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace quillon {

struct OtaChunkItem {
  enum class Kind {
    AckStart,    // FC F1 result mtu credit sum
    AckData,     // FC F2 result index(2) sum
    AckEnd,      // FC F3; ends the scan of the chunk
    AckUnknown,  // FC and any other opcode; ends the scan
    End,         // F3 type result sum, the module's verdict
    Stray,       // a byte at a packet boundary that starts no packet; ends the scan
    Truncated,   // the chunk ends inside a packet; dropped, ends the scan
  };
  Kind kind = Kind::Stray;
  bool checksum_ok = false;
  std::uint8_t result = 0;       // AckStart, AckData, End
  std::uint8_t mtu = 0;          // AckStart
  std::uint8_t credit = 0;       // AckStart
  std::uint16_t acked_index = 0; // AckData
  std::uint8_t type = 0;         // End
};

// Walks a chunk item by item. The chunk must outlive the scanner.
class OtaChunkScanner {
 public:
  explicit OtaChunkScanner(std::span<const std::uint8_t> chunk) : chunk_(chunk) {}

  // The next item, or nothing once the chunk is used up or an item that ends
  // the scan (AckEnd, AckUnknown, Stray, Truncated) has been returned.
  std::optional<OtaChunkItem> next();

 private:
  std::span<const std::uint8_t> chunk_;
  std::size_t pos_ = 0;
  bool stopped_ = false;
};

}  // namespace quillon
