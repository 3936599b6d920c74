// The module's OTA side as quillon-module serves it: each write on FF11 goes
// to the shared OtaModule, and a transfer's milestones become event lines
// (first write, START with its announced length, END with the verdict and
// the bytes received). When the host's END arrives, or a START is refused,
// what the module kept is written to the --save-received file. A START
// while a transfer is under way (its central gone, or a new one) drops that
// transfer with a line; complaints about writes outside any transfer are
// told at the next END, or when a START drops them.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "quillon/module/ota_module.h"
#include "quillon/ota/ota_codes.h"
#include "quillon/platform/log_sink.h"

namespace quillon::module_tool {

// How one transfer ended, from the module's side.
struct TransferEnd {
  std::uint8_t verdict = 0;  // what the module's END carried (OTA_SUCCESS, ...)
  bool answered = true;      // false: a silent fault kept the module's END from going out
  bool saved = true;         // false: --save-received could not be written
  // The module answered END with success: what --once exits 0 for.
  bool succeeded() const { return answered && verdict == OTA_SUCCESS; }
};

class ModuleTransfer {
 public:
  ModuleTransfer(OtaModuleConfig config, std::shared_ptr<LogSink> events, std::shared_ptr<LogSink> detail,
                 std::optional<std::string> save_received);

  // Where the module's answers go: one notification each.
  void set_output(OtaModule::Output output) { module_.set_output(std::move(output)); }

  // Takes one write on FF11 from `from` (the central's device object, or ""
  // when BlueZ did not say). The transfer's end when this write was END or
  // a START the module refused.
  std::optional<TransferEnd> receive(std::span<const std::uint8_t> packet, const std::string& from);

 private:
  bool save() const;
  // The module's END went out (no silent fault held it back).
  bool answered() const;
  // Before a START: lines for the transfer and complaints it wipes out.
  void report_dropped();
  // A line for each of the module's complaints not told yet, after `prefix`.
  void tell_complaints(const char* prefix);
  // The end of a transfer: its verdict, and what the module kept saved.
  TransferEnd conclude();

  const OtaModuleConfig module_config_;
  OtaModule module_;
  std::shared_ptr<LogSink> events_;
  std::shared_ptr<LogSink> detail_;
  std::optional<std::string> save_received_;
  std::optional<std::string> writer_;  // the last central heard from
  std::vector<std::string> reported_;  // the module's complaints as last told in lines
  std::uint64_t reported_not_listed_ = 0;
};

}  // namespace quillon::module_tool
