#include "quillon/ota/ota_chunk_scan.h"

#include "quillon/ota/ota_checksum.h"
#include "quillon/ota/ota_packet.h"

namespace quillon {

std::optional<OtaChunkItem> OtaChunkScanner::next() {
  if (stopped_ || pos_ >= chunk_.size()) return std::nullopt;
  const std::size_t left = chunk_.size() - pos_;
  const std::uint8_t* p = chunk_.data() + pos_;
  OtaChunkItem item;

  // Whatever ends the scan sets stopped_; whole packets advance pos_.
  auto stop = [&](OtaChunkItem::Kind kind) {
    item.kind = kind;
    stopped_ = true;
    return item;
  };

  if (p[0] == OTA_CMD_ACK) {
    if (left < 2) return stop(OtaChunkItem::Kind::Truncated);
    switch (p[1]) {
      case OTA_CMD_START:
        if (left < kOtaAckSize) return stop(OtaChunkItem::Kind::Truncated);
        item.kind = OtaChunkItem::Kind::AckStart;
        item.result = p[2];
        item.mtu = p[3];
        item.credit = p[4];
        break;
      case OTA_CMD_DATA:
        if (left < kOtaAckSize) return stop(OtaChunkItem::Kind::Truncated);
        item.kind = OtaChunkItem::Kind::AckData;
        item.result = p[2];
        item.acked_index = static_cast<std::uint16_t>(p[3] | p[4] << 8);
        break;
      case OTA_CMD_END:
        // Nothing after FC F3 is read, so its checksum is not checked either.
        return stop(OtaChunkItem::Kind::AckEnd);
      default:
        return stop(OtaChunkItem::Kind::AckUnknown);
    }
    item.checksum_ok = calc_sum(p, 5) == p[5];
    pos_ += kOtaAckSize;
    return item;
  }

  if (p[0] == OTA_CMD_END) {
    if (left < kOtaEndSize) return stop(OtaChunkItem::Kind::Truncated);
    item.kind = OtaChunkItem::Kind::End;
    item.type = p[1];
    item.result = p[2];
    item.checksum_ok = calc_sum(p, 3) == p[3];
    pos_ += kOtaEndSize;
    return item;
  }

  // A byte that starts no packet means we have lost the framing: whatever
  // follows in this chunk cannot be trusted to start on a packet boundary
  // (an 0xF3 inside it would otherwise read as the module's verdict), so the
  // rest of the chunk is dropped, as after an unrecognised acknowledgement.
  return stop(OtaChunkItem::Kind::Stray);
}

}  // namespace quillon
