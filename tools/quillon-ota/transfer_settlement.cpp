#include "transfer_settlement.h"

#include "image_digest.h"
#include "quillon/bluez/bluez_backend.h"

namespace quillon::ota_tool {

void TransferSettlement::settle(const UpdateSession& session, Outcome& outcome, std::string& detail,
                                const std::function<void(const std::string&)>& say, JsonEvents* json,
                                std::function<void()> released) const {
  if (!released) released = [] {};
  // A module that was sent anything may come back with another GATT table,
  // whether or not the update succeeded (a module that failed half way may
  // restart in its loader), while BlueZ still holds the old one: BlueZ
  // forgets the device (unless it is paired), and the next run finds it
  // again and reads its services afresh.
  // BlueZ answers once the link is down; the other modules of a fleet go on
  // meanwhile.
  if (backend == BLEBackend::BlueZ && (outcome == Outcome::Success || session.transfer_seconds() > 0)) {
    ++*unanswered;
    bluez::forgetPeripheral(session.peripheral(), [unanswered = unanswered, log = manager_log, released](
                                                      const std::optional<NSError>& error) {
      --*unanswered;
      if (error) log->line("[BlueZ]The module could not be forgotten: " + error->localizedDescription);
      released();
    });
  } else {
    released();
  }
  if (outcome != Outcome::Success) return;
  if (backend == BLEBackend::BlueZ) {
    if (!options.verify) return;
    if (json) {
      json->emit("verify", {{"match", true}, {"bytes", session.image_size()}, {"sha256", nullptr}});
    } else {
      say("verify: the module accepted all " + std::to_string(session.image_size()) +
          " bytes with their checksums; a real module cannot be read back");
    }
    return;
  }
  if (!options.verify) return;
  const auto module = simulated.module(session.identifier());
  if (!module) return;
  // What the module holds, compared with the image file.
  const auto image = digest_file(session.image_file());
  if (!image) {
    outcome = Outcome::ImageUnavailable;
    detail = "cannot read " + session.image_file() + " to compare";
    return;
  }
  const ImageDigest received = digest_bytes(module->otaModule().image());
  const bool match = received == *image;
  if (json) json->emit("verify", {{"match", match}, {"bytes", received.length}, {"sha256", received.sha256.hex()}});
  if (!match) {
    outcome = Outcome::VerifyMismatch;
    detail = "module holds " + std::to_string(received.length) + " bytes, SHA-256 " + received.sha256.hex() +
             "; image has " + std::to_string(image->length) + " bytes, " + image->sha256.hex();
    return;
  }
  if (!json) {
    say("verify: the module holds exactly the image (" + std::to_string(received.length) + " bytes, SHA-256 " +
        received.sha256.hex() + ")");
  }
}

void TransferSettlement::wait_for_forgetting(RunLoop& queue, std::chrono::milliseconds limit) const {
  if (*unanswered == 0) return;
  queue.run_until([this] { return *unanswered == 0; }, limit);
  if (*unanswered > 0) {
    manager_log->line("[BlueZ]" + std::to_string(*unanswered) +
                      " module(s) not forgotten yet: BlueZ forgets them once their links are down");
  }
}

}  // namespace quillon::ota_tool
