#include "quillon/ota/ota_packet.h"

#include <algorithm>

#include "quillon/ota/ota_checksum.h"

namespace quillon {
namespace {

template <std::size_t N>
void seal(std::array<std::uint8_t, N>& packet) {
  packet[N - 1] = calc_sum(packet.data(), N - 1);
}

}  // namespace

std::array<std::uint8_t, kOtaStartSize> encode_start(std::int64_t total_length) {
  const auto low = static_cast<std::uint32_t>(static_cast<std::uint64_t>(total_length));
  std::array<std::uint8_t, kOtaStartSize> packet{
      OTA_CMD_START,
      1,
      static_cast<std::uint8_t>(low),
      static_cast<std::uint8_t>(low >> 8),
      static_cast<std::uint8_t>(low >> 16),
      static_cast<std::uint8_t>(low >> 24),
      0};
  seal(packet);
  return packet;
}

std::array<std::uint8_t, kOtaEndSize> encode_end(std::uint8_t error, std::uint8_t type) {
  std::array<std::uint8_t, kOtaEndSize> packet{OTA_CMD_END, type, error, 0};
  seal(packet);
  return packet;
}

void seal_data_packet(std::span<std::uint8_t> packet, std::int64_t index) {
  const auto low = static_cast<std::uint16_t>(static_cast<std::uint64_t>(index));
  packet[0] = OTA_CMD_DATA;
  packet[1] = static_cast<std::uint8_t>(low);
  packet[2] = static_cast<std::uint8_t>(low >> 8);
  packet.back() = calc_sum(packet.data(), static_cast<std::int64_t>(packet.size() - 1));
}

std::vector<std::uint8_t> encode_data(std::span<const std::uint8_t> payload, std::int64_t index) {
  std::vector<std::uint8_t> packet(payload.size() + kOtaDataOverhead);
  std::copy(payload.begin(), payload.end(), packet.begin() + kOtaDataHeaderSize);
  seal_data_packet(packet, index);
  return packet;
}

std::array<std::uint8_t, kOtaAckSize> encode_ack_start(std::uint8_t result, std::uint8_t mtu,
                                                       std::uint8_t credit) {
  std::array<std::uint8_t, kOtaAckSize> packet{OTA_CMD_ACK, OTA_CMD_START, result, mtu, credit, 0};
  seal(packet);
  return packet;
}

std::array<std::uint8_t, kOtaAckSize> encode_ack_data(std::uint8_t result, std::uint16_t acked_index) {
  std::array<std::uint8_t, kOtaAckSize> packet{OTA_CMD_ACK,
                                               OTA_CMD_DATA,
                                               result,
                                               static_cast<std::uint8_t>(acked_index),
                                               static_cast<std::uint8_t>(acked_index >> 8),
                                               0};
  seal(packet);
  return packet;
}

OtaHostPacket decode_host_packet(std::span<const std::uint8_t> packet) {
  OtaHostPacket out;
  if (packet.empty()) return out;
  const bool sum_ok = packet.size() >= 2 && calc_sum(packet.first(packet.size() - 1)) == packet.back();
  switch (packet[0]) {
    case OTA_CMD_START:
      out.kind = OtaHostPacket::Kind::Start;
      out.length_ok = packet.size() == kOtaStartSize;
      if (out.length_ok) {
        out.type = packet[1];
        out.announced_length = static_cast<std::uint32_t>(packet[2]) |
                               static_cast<std::uint32_t>(packet[3]) << 8 |
                               static_cast<std::uint32_t>(packet[4]) << 16 |
                               static_cast<std::uint32_t>(packet[5]) << 24;
      }
      break;
    case OTA_CMD_DATA:
      out.kind = OtaHostPacket::Kind::Data;
      out.length_ok = packet.size() >= kOtaDataOverhead;
      if (out.length_ok) {
        out.index = static_cast<std::uint16_t>(packet[1] | packet[2] << 8);
        out.payload = packet.subspan(kOtaDataHeaderSize, packet.size() - kOtaDataOverhead);
      }
      break;
    case OTA_CMD_END:
      out.kind = OtaHostPacket::Kind::End;
      out.length_ok = packet.size() == kOtaEndSize;
      if (out.length_ok) {
        out.type = packet[1];
        out.error = packet[2];
      }
      break;
    default:
      return out;
  }
  out.checksum_ok = out.length_ok && sum_ok;
  return out;
}

}  // namespace quillon
