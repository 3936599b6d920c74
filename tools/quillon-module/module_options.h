// quillon-module's command line, parsed without side effects.
#pragma once

#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "parse_result.h"
#include "quillon/dis/device_information.h"
#include "quillon/module/ota_module.h"

namespace quillon::module_tool {

struct ModuleOptions {
  std::string adapter = "hci0";
  // The name it advertises (LocalName).
  std::string name = "Printer BLE";
  // What the module grants with START (mtu, credit) and its faults; the
  // same defaults as the simulated module's.
  OtaModuleConfig module;
  // The Device Information strings it offers (180A); none: no such service.
  std::map<DeviceInformationField, std::string> information;
  // Where what the module received goes when a transfer ends.
  std::optional<std::string> save_received;
  // Ends after one transfer, with the module's verdict as exit status.
  bool once = false;
  bool verbose = false;
  // --hold-ack: how long each acknowledgement of DATA waits before it is
  // notified (0: not at all).
  unsigned hold_ack_ms = 0;
};

using ParseResult = tools::ParseResult<ModuleOptions>;

// Parses the arguments after the program name. Never exits or prints.
ParseResult parse_arguments(std::span<const std::string_view> args);

// The full --help text: synopsis, description, options, exit status.
std::string usage_text();

}  // namespace quillon::module_tool
