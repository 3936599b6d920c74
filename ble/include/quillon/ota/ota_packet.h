// The OTA wire format: building and reading the packets that the controller
// and the module exchange over the OTA characteristic. Plain functions over
// bytes, shared by BLEOTAController and the simulated module; host apps have
// no need of them. Multi-byte fields are little-endian, and every packet ends
// in calc_sum over the bytes before it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace quillon {

// Opcodes: the first byte of every packet, and the second of an acknowledgement.
inline constexpr std::uint8_t OTA_CMD_START = 0xF1;
inline constexpr std::uint8_t OTA_CMD_DATA = 0xF2;
inline constexpr std::uint8_t OTA_CMD_END = 0xF3;
inline constexpr std::uint8_t OTA_CMD_ACK = 0xFC;

inline constexpr std::size_t kOtaStartSize = 7;
inline constexpr std::size_t kOtaEndSize = 4;
inline constexpr std::size_t kOtaAckSize = 6;
// Opcode, two index bytes and the checksum around the image bytes of a DATA.
inline constexpr std::size_t kOtaDataOverhead = 4;
inline constexpr std::size_t kOtaDataHeaderSize = 3;

// --- host to module ---------------------------------------------------------

// START announcing the low 32 bits of `total_length`.
std::array<std::uint8_t, kOtaStartSize> encode_start(std::int64_t total_length);

// END carrying `error` (the host always sends OTA_SUCCESS; the module sends
// its verdict). `type` is 1 on the host's side.
std::array<std::uint8_t, kOtaEndSize> encode_end(std::uint8_t error, std::uint8_t type = 1);

// Completes a DATA packet in place: `packet` is the whole packet (payload
// already at offset 3, at least 4 bytes long); writes the opcode, the low 16
// bits of `index` and the checksum. Lets the sender read image bytes straight
// into the buffer that goes out.
void seal_data_packet(std::span<std::uint8_t> packet, std::int64_t index);

// A DATA packet of exactly payload.size() + 4 bytes.
std::vector<std::uint8_t> encode_data(std::span<const std::uint8_t> payload, std::int64_t index);

// --- module to host ---------------------------------------------------------

std::array<std::uint8_t, kOtaAckSize> encode_ack_start(std::uint8_t result, std::uint8_t mtu,
                                                       std::uint8_t credit);
std::array<std::uint8_t, kOtaAckSize> encode_ack_data(std::uint8_t result, std::uint16_t acked_index);

// --- reading what the host wrote (the module's side) --------------------------

// One packet written by the host, as the module sees it.
struct OtaHostPacket {
  enum class Kind { Start, Data, End, Unknown };
  Kind kind = Kind::Unknown;
  bool checksum_ok = false;
  bool length_ok = false;             // the packet has the size its kind needs
  std::uint32_t announced_length = 0;  // START
  std::uint16_t index = 0;             // DATA
  std::span<const std::uint8_t> payload;  // DATA: the image bytes, into the packet
  std::uint8_t type = 0;               // START, END
  std::uint8_t error = 0;              // END
};

// Classifies one whole packet. Never reads outside `packet`.
OtaHostPacket decode_host_packet(std::span<const std::uint8_t> packet);

}  // namespace quillon
