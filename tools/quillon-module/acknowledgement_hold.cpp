#include "acknowledgement_hold.h"

#include "quillon/ota/ota_packet.h"

namespace quillon::module_tool {
namespace {

bool acknowledges_data(const std::vector<std::uint8_t>& chunk) {
  return chunk.size() >= 2 && chunk[0] == 0xFC && chunk[1] == 0xF2;
}

}  // namespace

OtaModule::Output AcknowledgementHold::wrap(OtaModule::Output output) {
  output_ = std::move(output);
  return [this](std::vector<std::uint8_t> chunk) {
    const bool acknowledgement = acknowledges_data(chunk);
    if (held_.empty() && (!acknowledgement || hold_.count() == 0)) {
      output_(std::move(chunk));
      return;
    }
    if (acknowledgement) ++acknowledgements_due_;
    held_.push_back({Clock::now() + (acknowledgement ? hold_ : std::chrono::milliseconds(0)), std::move(chunk),
                     acknowledgement});
  };
}

void AcknowledgementHold::written(std::span<const std::uint8_t> packet) {
  const OtaHostPacket in = decode_host_packet(packet);
  if (in.kind == OtaHostPacket::Kind::Start) {
    end_seen_ = false;
    data_while_due_ = 0;
    writes_after_end_ = 0;
    return;
  }
  if (end_seen_) {
    ++writes_after_end_;
    log_counters("a write after END");
    return;
  }
  if (in.kind == OtaHostPacket::Kind::Data && acknowledgements_due_ > 0) {
    ++data_while_due_;
    log_counters("DATA while an acknowledgement was due");
  }
  if (in.kind == OtaHostPacket::Kind::End) {
    end_seen_ = true;
    log_counters("END");
  }
}

int AcknowledgementHold::release_due(Clock::time_point now) {
  while (!held_.empty() && held_.front().due <= now) {
    Held next = std::move(held_.front());
    held_.pop_front();
    if (next.acknowledgement) --acknowledgements_due_;
    output_(std::move(next.chunk));
  }
  if (held_.empty()) return -1;
  const auto wait = std::chrono::ceil<std::chrono::milliseconds>(held_.front().due - now).count();
  return static_cast<int>(wait);
}

void AcknowledgementHold::log_counters(const char* when) {
  if (!detail_->wants_lines()) return;
  detail_->logf("credit: %llu DATA packets arrived while an acknowledgement was due, %llu writes after END (%s)",
                static_cast<unsigned long long>(data_while_due_), static_cast<unsigned long long>(writes_after_end_),
                when);
}

}  // namespace quillon::module_tool
