// quillon-ota's command line: what the user asked for, parsed without side
// effects so that every rule can be checked on its own.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "quillon/dis/device_information.h"
#include "quillon/manager/ble_backend.h"
#include "module_faults.h"
#include "version_policy_options.h"
#include "parse_result.h"
#include "quillon/module/ota_module.h"

namespace quillon::ota_tool {

// How progress is shown: `Auto` picks a bar on a terminal, lines otherwise.
enum class ProgressMode { Auto, Bar, Lines, None };

// The simulated module's identifier when none is given: fixed, so that the
// module is the same peripheral from one run to the next, as a real one is.
inline constexpr std::string_view kDefaultModuleIdentifier = "6F1A3C52-0B7E-4D2A-9C51-3E8F2B7D4A10";

struct ToolOptions {
  // The image: a local file path, or an http:// or https:// URL.
  std::string image;
  bool image_is_url = false;

  // --list: only show the modules in range; no image, nothing updated.
  bool list = false;
  // --scan-only: --list without connecting to read what each module is.
  bool scan_only = false;

  // Connect to the module remembered from the last run instead of scanning.
  bool retrieve = false;
  double scan_timeout_seconds = 10.0;

  // The modules to update, by identifier (--module-id, in canonical upper
  // case, in the order given): only these are connected. Empty: the first
  // module found, or with --all every one found.
  std::vector<std::string> module_ids;
  bool all = false;
  // How many modules of a fleet run are updated at once.
  unsigned parallel = kDefaultParallel;
  static constexpr unsigned kDefaultParallel = 4;
  // A fleet run updates several modules, each with its own transfer.
  bool fleet() const { return all || module_ids.size() > 1; }

  // The BLE backend: --backend, else QUILLON_BLE_BACKEND, else sim. The
  // simulated module's options below go only with sim.
  std::optional<BLEBackend> backend;
  std::string adapter = "hci0";

  // The simulated world: --modules N data modules, numbered from 1 and
  // named "Printer BLE 01"...; else one module per --module-id; else one
  // module known as kDefaultModuleIdentifier.
  bool no_module = false;
  std::optional<unsigned> modules;
  // What every simulated module starts from; `faults` applies to all.
  OtaModuleConfig module;
  // --fault TARGET:FAULT: faults of one module, keyed by its identifier.
  std::map<std::string, OtaModuleFaults> module_faults;
  // --firmware-revision and --model: the Device Information strings of the
  // simulated modules, keyed "" for every module, else as module_faults is.
  std::map<std::string, std::map<DeviceInformationField, std::string>> module_information;
  // --out-of-range WHICH: simulated modules made but not in radio range,
  // keyed as module_faults is ("#N" or the identifier).
  std::vector<std::string> out_of_range;
  // Time the simulated module takes to answer, like a real link's
  // connection interval; 0 answers at once.
  unsigned latency_ms = 0;
  // The ATT MTU of the simulated modules' links.
  std::size_t att_mtu = 517;

  // --sha256: 64 hex digits, or a sha256sum file naming the image; the
  // image must have that digest before anything is sent.
  std::optional<std::string> sha256;
  // --trusted-key: public keys (a key file, or the key line itself) that
  // the image must be signed by, besides those of the keyring directory.
  std::vector<std::string> trusted_keys;
  // --signature: the image's .minisig; else IMAGE.minisig, or URL.minisig.
  std::optional<std::string> signature;
  // With no trusted key configured, refuse rather than send unsigned.
  bool require_signature = false;
  // Take legacy signatures (minisign -l, signify) as well as prehashed ones.
  bool allow_legacy_signature = false;
  // --cacert: CA certificates (PEM) to trust for https:// downloads.
  std::optional<std::string> ca_file;

  // Which modules get the image (--image-version, --allow-*), and --dry-run.
  VersionPolicyOptions versions;

  bool verify = false;
  std::optional<std::string> save_received;
  ProgressMode progress = ProgressMode::Auto;
  // One JSON object per line for every event, instead of text.
  bool json = false;
  bool verbose = false;
};

using tools::HelpRequested;
using tools::UsageError;
using tools::VersionRequested;
using ParseResult = tools::ParseResult<ToolOptions>;

// Parses the arguments after the program name. Never exits or prints.
ParseResult parse_arguments(std::span<const std::string_view> args);

// The identifiers of the simulated modules `options` puts in range, in the
// order they are numbered (upper case); empty with --no-module.
std::vector<std::string> simulated_identifiers(const ToolOptions& options);

// The module's faults are named and parsed as quillon-module names them.
using tools::apply_fault;

// The full --help text, exit statuses included.
std::string usage_text();

}  // namespace quillon::ota_tool
