#include "quillon/module/ota_module.h"

#include <algorithm>

#include "quillon/ota/ota_checksum.h"
#include "quillon/ota/ota_codes.h"
#include "quillon/ota/ota_packet.h"

namespace quillon {

OtaModule::OtaModule(OtaModuleConfig config) : config_(std::move(config)) {}

void OtaModule::reset() {
  OtaModule fresh(config_);
  fresh.output_ = std::move(output_);
  *this = std::move(fresh);
}

std::uint64_t OtaModule::hash_of(std::span<const std::uint8_t> bytes, std::uint64_t seed) {
  std::uint64_t hash = seed;
  for (std::uint8_t b : bytes) {
    hash ^= b;
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

std::optional<std::vector<std::uint8_t>> OtaModule::take_output() {
  if (outbox_taken_ == outbox_.size()) return std::nullopt;
  auto chunk = std::move(outbox_[outbox_taken_++]);
  if (outbox_taken_ == outbox_.size()) {
    outbox_.clear();
    outbox_taken_ = 0;
  }
  return chunk;
}

void OtaModule::violation(std::string_view what) {
  // Compared before any string is made: a peer repeating one fault costs
  // no allocation per packet.
  if (!complaints_.empty() && what == complaints_.back().text) {
    ++complaints_.back().times;
  } else if (complaints_.size() < kMaxViolationsListed) {
    complaints_.push_back({std::string(what), 1});
  } else {
    ++violations_not_listed_;
  }
}

template <typename Make>
void OtaModule::violation_built(Make make) {
  if (complaints_.size() < kMaxViolationsListed) {
    violation(make());
  } else {
    ++violations_not_listed_;
  }
}

std::vector<std::string> OtaModule::violations() const {
  std::vector<std::string> list;
  list.reserve(complaints_.size());
  for (const auto& complaint : complaints_) {
    list.push_back(complaint.times == 1 ? complaint.text
                                        : complaint.text + " (" + std::to_string(complaint.times) + " times)");
  }
  return list;
}

void OtaModule::emit(std::vector<std::uint8_t> packet) {
  if (config_.faults.merge_chunks) {
    merged_.insert(merged_.end(), packet.begin(), packet.end());
    return;
  }
  const std::size_t piece = config_.faults.split_chunks_at;
  for (std::size_t at = 0; at < packet.size();) {
    const std::size_t n = piece > 0 ? std::min(piece, packet.size() - at) : packet.size();
    std::vector<std::uint8_t> chunk(packet.begin() + static_cast<std::ptrdiff_t>(at),
                                    packet.begin() + static_cast<std::ptrdiff_t>(at + n));
    at += n;
    if (output_) {
      output_(std::move(chunk));
    } else {
      outbox_.push_back(std::move(chunk));
    }
  }
}

void OtaModule::flush_merged() {
  if (merged_.empty()) return;
  auto chunk = std::move(merged_);
  merged_.clear();
  if (output_) {
    output_(std::move(chunk));
  } else {
    outbox_.push_back(std::move(chunk));
  }
}

void OtaModule::queue_ack(std::vector<std::uint8_t> ack) {
  const std::uint64_t number = acks_made_++;
  const auto& faults = config_.faults;
  if (faults.drop_ack == number) return;
  if (faults.unknown_opcode_ack == number) {
    ack[1] = 0xF7;
    ack.back() = calc_sum(std::span<const std::uint8_t>(ack).first(ack.size() - 1));
  }
  if (faults.corrupt_ack == number) ack.back() = static_cast<std::uint8_t>(ack.back() + 1);
  emit(std::move(ack));
}

void OtaModule::start(const OtaHostPacket& in, bool silent) {
  // A new transfer: whatever came before it has no say in its verdict.
  const auto received = packets_received_;
  reset();
  packets_received_ = received;
  if (in.length_ok && in.announced_length > config_.max_image_length) {
    start_refused_ = true;
    violation_built([&] {
      return "START announcing " + std::to_string(in.announced_length) + " bytes refused: this module holds at most " +
             std::to_string(config_.max_image_length);
    });
    verdict_ = OTA_ERR_OTHER;
    if (!silent) {
      // No credit, so an honest host sends no DATA; the END tells it at once
      // that the transfer is over rather than leaving it to time out.
      const auto ack = encode_ack_start(OTA_ERR_OTHER, config_.mtu, 0);
      queue_ack({ack.begin(), ack.end()});
      const auto end = encode_end(OTA_ERR_OTHER);
      emit({end.begin(), end.end()});
    }
    return;
  }
  started_ = true;
  announced_length_ = in.announced_length;
  window_left_ = config_.credit;
  if (!silent) {
    const auto ack = encode_ack_start(config_.start_result, config_.mtu, config_.credit);
    queue_ack({ack.begin(), ack.end()});
  }
}

void OtaModule::take_data(const OtaHostPacket& in) {
  if (!in_transfer()) {
    violation(start_refused_ ? "DATA after a refused START" : ended_ ? "DATA after END" : "DATA before START");
    return;
  }
  if (!in.length_ok) return;
  if (in.index != expected_index_) {
    violation_built([&] {
      return "DATA index " + std::to_string(in.index) + " where " + std::to_string(expected_index_) + " was due";
    });
  }
  const std::size_t room = config_.mtu > kOtaDataOverhead ? config_.mtu - kOtaDataOverhead : 0;
  if (in.payload.size() > room) violation("DATA longer than the mtu");
  expected_index_ = static_cast<std::uint16_t>(in.index + 1);
  // Only what the announced length leaves room for is kept.
  const std::uint64_t left = image_length_ < announced_length_ ? announced_length_ - image_length_ : 0;
  const auto keep = in.payload.first(static_cast<std::size_t>(std::min<std::uint64_t>(left, in.payload.size())));
  if (keep.size() < in.payload.size()) violation("DATA beyond the announced length");
  if (config_.store_image) image_.insert(image_.end(), keep.begin(), keep.end());
  image_hash_ = hash_of(keep, image_hash_);
  image_length_ += in.payload.size();
}

void OtaModule::receive(std::span<const std::uint8_t> packet) {
  ++packets_received_;
  const auto& faults = config_.faults;
  // A module that has fallen silent still takes in what it is sent.
  const bool silent = faults.silent_after && packets_received_ > *faults.silent_after;
  const OtaHostPacket in = decode_host_packet(packet);
  if (in.kind == OtaHostPacket::Kind::Start) start(in, silent);
  if (in.kind != OtaHostPacket::Kind::Unknown && !in.length_ok) {
    violation_built([&] { return "packet of wrong length " + std::to_string(packet.size()); });
  } else if (in.length_ok && !in.checksum_ok) {
    bad_checksum_seen_ = true;
    violation_built([&] { return "bad checksum in packet " + std::to_string(packets_received_ - 1); });
  }

  switch (in.kind) {
    case OtaHostPacket::Kind::Start:
      break;
    case OtaHostPacket::Kind::Data: {
      ++data_packets_;
      take_data(in);
      // Only DATA of a transfer opens the next window.
      if (in_transfer() && window_left_ > 0 && --window_left_ == 0) {
        window_left_ = config_.data_window;
        if (!silent) {
          const auto ack = encode_ack_data(0, in.index);
          queue_ack({ack.begin(), ack.end()});
        }
      }
      break;
    }
    case OtaHostPacket::Kind::End: {
      ++ends_received_;
      if (!started_) violation("END before START");
      std::uint8_t verdict = OTA_SUCCESS;
      if (bad_checksum_seen_) {
        verdict = OTA_ERR_CHECK_SUM_FAIL;
      } else if (!started_ || !complaints_.empty() || image_length_ != announced_length_) {
        verdict = OTA_ERR_OTHER;
      }
      verdict_ = verdict;
      ended_ = started_;
      if (!silent) {
        if (faults.ack_end) emit({OTA_CMD_ACK, OTA_CMD_END});
        auto end = encode_end(verdict);
        if (faults.corrupt_end) end.back() = static_cast<std::uint8_t>(end.back() + 1);
        emit({end.begin(), end.end()});
      }
      break;
    }
    case OtaHostPacket::Kind::Unknown:
      violation("unknown packet");
      break;
  }
  flush_merged();
}

}  // namespace quillon
