#include "module_transfer.h"

#include <fstream>

#include "quillon/ota/ota_codes.h"
#include "quillon/ota/ota_packet.h"

namespace quillon::module_tool {
namespace {

const char* verdict_text(std::uint8_t verdict) {
  switch (verdict) {
    case OTA_SUCCESS:
      return "success";
    case OTA_ERR_CHECK_SUM_FAIL:
      return "checksum failure";
    default:
      return "failure";
  }
}

}  // namespace

ModuleTransfer::ModuleTransfer(OtaModuleConfig config, std::shared_ptr<LogSink> events, std::shared_ptr<LogSink> detail,
                               std::optional<std::string> save_received)
    : module_config_(config),
      module_(std::move(config)),
      events_(std::move(events)),
      detail_(std::move(detail)),
      save_received_(std::move(save_received)) {}

std::optional<TransferEnd> ModuleTransfer::receive(std::span<const std::uint8_t> packet, const std::string& from) {
  // BlueZ names no connection event to a GATT server; a central's first
  // write is the first sign of it.
  if (writer_ != from) {
    writer_ = from;
    events_->logf("first write from %s", from.empty() ? "a central" : from.c_str());
  }
  const OtaHostPacket in = decode_host_packet(packet);
  if (detail_->wants_lines()) detail_->logf("FF11: %zu bytes written", packet.size());
  // START wipes what the module knew: say first what it leaves behind.
  if (in.kind == OtaHostPacket::Kind::Start) report_dropped();
  module_.receive(packet);

  if (in.kind == OtaHostPacket::Kind::Start) {
    if (module_.start_refused()) {
      events_->logf("START: %u bytes announced, refused: this module holds at most %u bytes",
                    static_cast<unsigned>(in.announced_length), static_cast<unsigned>(module_config_.max_image_length));
      reported_ = module_.violations();  // the line above says it
      return conclude();
    }
    events_->logf("START: %u bytes announced", static_cast<unsigned>(in.announced_length));
    return std::nullopt;
  }
  if (in.kind != OtaHostPacket::Kind::End) return std::nullopt;
  events_->logf("END: %s%s, %llu of %u bytes received", verdict_text(module_.verdict().value_or(OTA_ERR_OTHER)),
                answered() ? "" : " (not sent: silent)", static_cast<unsigned long long>(module_.image_length()),
                static_cast<unsigned>(module_.announced_length()));
  tell_complaints("  why: ");
  return conclude();
}

bool ModuleTransfer::answered() const {
  const auto& silent_after = module_config_.faults.silent_after;
  return !(silent_after && module_.packets_received() > *silent_after);
}

void ModuleTransfer::report_dropped() {
  if (module_.in_transfer()) {
    events_->logf("START before END: the transfer under way is dropped, %llu of %u bytes received",
                  static_cast<unsigned long long>(module_.image_length()),
                  static_cast<unsigned>(module_.announced_length()));
  }
  tell_complaints("  ignored before START: ");
  // The module forgets them with this START.
  reported_.clear();
  reported_not_listed_ = 0;
}

void ModuleTransfer::tell_complaints(const char* prefix) {
  // Each complaint once: a line already told is not told again.
  auto complaints = module_.violations();
  for (std::size_t i = 0; i < complaints.size(); ++i) {
    if (i >= reported_.size() || complaints[i] != reported_[i]) events_->logf("%s%s", prefix, complaints[i].c_str());
  }
  const std::uint64_t not_listed = module_.violations_not_listed();
  if (not_listed > reported_not_listed_) {
    events_->logf("  and %llu more", static_cast<unsigned long long>(not_listed - reported_not_listed_));
  }
  reported_ = std::move(complaints);
  reported_not_listed_ = not_listed;
}

TransferEnd ModuleTransfer::conclude() {
  TransferEnd end;
  end.verdict = module_.verdict().value_or(OTA_ERR_OTHER);
  end.answered = answered();
  if (save_received_) {
    end.saved = save();
    if (end.saved) {
      events_->logf("saved %zu bytes to %s", module_.image().size(), save_received_->c_str());
    } else {
      events_->logf("cannot write %s", save_received_->c_str());
    }
  }
  return end;
}

bool ModuleTransfer::save() const {
  std::ofstream out(*save_received_, std::ios::binary | std::ios::trunc);
  const auto& image = module_.image();
  out.write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  out.close();
  return static_cast<bool>(out);
}

}  // namespace quillon::module_tool
