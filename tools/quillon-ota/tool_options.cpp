#include "tool_options.h"

#include <algorithm>
#include <cctype>

#include "command_line.h"
#include "image_options.h"
#include "module_selection_options.h"
#include "quillon/ble/ns_uuid.h"
#include "quillon/sim/sim_fleet.h"
#include "simulated_world_options.h"

namespace quillon::ota_tool {
namespace {

// How the run is shown and checked: --json, --verbose, --progress,
// --verify and --save-received.
bool parse_output_option(tools::OptionArgument& option, ToolOptions& options, std::optional<std::string>& error) {
  const std::string_view name = option.name();
  bool* flag = name == "-v" || name == "--verbose" ? &options.verbose
               : name == "--json"                  ? &options.json
               : name == "--verify"                ? &options.verify
                                                   : nullptr;
  if (flag) {
    error = option.flag(*flag);
    return true;
  }
  if (name != "--progress" && name != "--save-received") return false;
  const auto value = option.value();
  if (!value || (name == "--save-received" && value->empty())) {
    error = option.missing();
  } else if (name == "--save-received") {
    options.save_received = std::string(*value);
  } else if (*value == "auto") {
    options.progress = ProgressMode::Auto;
  } else if (*value == "bar") {
    options.progress = ProgressMode::Bar;
  } else if (*value == "lines") {
    options.progress = ProgressMode::Lines;
  } else if (*value == "none") {
    options.progress = ProgressMode::None;
  } else {
    error = "--progress must be auto, bar, lines or none";
  }
  return true;
}

// Which BLE backend the run uses: --backend and --adapter.
bool parse_backend_option(tools::OptionArgument& option, ToolOptions& options, std::optional<std::string>& error) {
  const std::string_view name = option.name();
  if (name != "--backend" && name != "--adapter") return false;
  const auto value = option.value();
  if (!value || (name == "--adapter" && value->empty())) {
    error = option.missing();
  } else if (name == "--backend") {
    options.backend = BLEBackendNamed(*value);
    if (!options.backend) error = "--backend must be sim or bluez, not '" + std::string(*value) + "'";
  } else if (std::all_of(value->begin(), value->end(),
                         [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; })) {
    // An object path element of org.bluez: letters, digits, underscores.
    options.adapter = std::string(*value);
  } else {
    error = "--adapter must be an adapter name such as hci0, not '" + std::string(*value) + "'";
  }
  return true;
}

// What the command line holds once every argument is read: the options,
// the one operand (the image) and the first option that only the simulated
// backend takes.
struct ReadArguments {
  ToolOptions options;
  std::optional<std::string_view> image;
  bool options_ended = false;
  std::optional<std::string> simulated_only;
};

std::optional<UsageError> take_argument(tools::OptionArgument& option, ReadArguments& read) {
  const std::string_view arg = option.given();
  if (read.options_ended || arg.size() < 2 || arg[0] != '-') {
    if (read.image) {
      return UsageError{"more than one image given ('" + std::string(*read.image) + "' and '" + std::string(arg) + "')"};
    }
    read.image = arg;
    return std::nullopt;
  }
  if (arg == "--") {
    read.options_ended = true;
    return std::nullopt;
  }
  if (!read.simulated_only && shapes_simulated_world(option.name())) read.simulated_only = std::string(option.name());
  std::optional<std::string> error;
  ToolOptions& options = read.options;
  const bool taken = parse_version_policy_option(option, options.versions, error) ||
                     parse_module_selection_option(option, options, error) ||
                     parse_image_option(option, options, error) || parse_output_option(option, options, error) ||
                     parse_backend_option(option, options, error) ||
                     parse_simulated_world_option(option, options, error);
  if (!taken) return option.unknown();
  if (error) return UsageError{*error};
  return std::nullopt;
}

// The options that contradict each other, or need one another, once all
// are read; the first such usage error. Sets the image unless --list.
std::optional<std::string> check_option_combinations(ReadArguments& read) {
  ToolOptions& options = read.options;
  if (options.backend == BLEBackend::BlueZ && read.simulated_only) {
    return *read.simulated_only + " shapes the simulated module; it does not go with --backend bluez";
  }
  if (options.all && !options.module_ids.empty()) {
    return "--all and --module-id both say which modules to update; give one of them";
  }
  if (options.fleet() && options.retrieve) {
    return "--retrieve connects the one remembered module; it does not go with a fleet run";
  }
  if (options.fleet() && options.save_received) {
    return "--save-received keeps one module's bytes; it does not go with a fleet run";
  }
  if (options.no_module && (options.modules || !options.module_faults.empty())) {
    return "--no-module puts no module in range; it does not go with --modules or a module's --fault";
  }
  if (auto e = check_simulated_module_targets(options)) return e;
  if (options.scan_only && !options.list) return "--scan-only goes with --list";
  if (auto e = check_version_policy_options(options.versions, options.list)) return e;
  if (options.list) {
    if (read.image) return "--list only shows the modules in range; it takes no IMAGE";
    return std::nullopt;
  }
  return take_image(read.image, options);
}

}  // namespace

std::vector<std::string> simulated_identifiers(const ToolOptions& options) {
  std::vector<std::string> identifiers;
  if (options.no_module) return identifiers;
  if (options.modules) {
    const auto base = *NSUUID::initWithUUIDString(kDefaultModuleIdentifier);
    for (unsigned i = 0; i < *options.modules; ++i) identifiers.push_back(sim::fleetIdentifier(base, i).UUIDString());
  } else if (!options.module_ids.empty()) {
    identifiers = options.module_ids;
  } else {
    identifiers.emplace_back(kDefaultModuleIdentifier);
  }
  return identifiers;
}

ParseResult parse_arguments(std::span<const std::string_view> args) {
  ReadArguments read;
  const auto answer =
      tools::read_options(args, [&read](tools::OptionArgument& option) { return take_argument(option, read); });
  if (answer) return std::visit([](const auto& early) -> ParseResult { return early; }, *answer);
  if (auto error = check_option_combinations(read)) return UsageError{*error};
  return std::move(read.options);
}

std::string usage_text() {
  return R"(Usage: quillon-ota [options] IMAGE
  or:  quillon-ota [options] --list

Updates the firmware of the printer's BLE data module over its OTA service
(FF10, characteristic FF11). IMAGE is a local file or an http:// or https://
URL, which is downloaded into the library's cache folder first.

The module is, by default, the simulated one of QuillonLib's simulated BLE
world: it advertises FF10 and keeps what it receives, and can be told to
misbehave. With --backend bluez the module is a real one, reached through
BlueZ (bluetoothd) on this Linux machine's system bus.

The BLE backend:
  --backend NAME        sim (the simulated world) or bluez; default: the
                        QUILLON_BLE_BACKEND environment variable, else sim
  --adapter NAME        the BlueZ adapter to use (default hci0); bluez only.
                        bluetoothd must run and the adapter be powered, and
                        the user must be allowed to use org.bluez on the
                        system bus (root, or the group the system's D-Bus
                        policy names, often "bluetooth")

Finding the module:
  (default)             scan for a module advertising FF10 and connect to the
                        first one found
  --list                update nothing: scan for --scan-timeout seconds, then
                        connect to each module advertising FF10 for a moment
                        (at most --parallel at once) to read its Device
                        Information (180A), and print one row per module:
                        name, identifier, RSSI ("n/a" when the controller
                        did not measure it), model, firmware revision and,
                        where any module gives one, serial number. A line
                        names each module whose reads failed (refused, not
                        within 5 s, link dropped) or whose strings are not
                        plain text (shown escaped, as \xNN) or are long.
                        Exit status 0 when one or more were found, 3 when
                        none
  --scan-only           with --list: only scan; connect to no module
  --module-id UUID      update the module known as UUID (upper or lower
                        case); given more than once, update each of them
                        (a fleet run)
  --retrieve            connect to the module remembered from the last
                        connection (user defaults under $XDG_CONFIG_HOME),
                        without scanning
  --scan-timeout SECS   give up finding and connecting after SECS (default
                        10); a fleet run scans for that long (less when every
                        named module is found), and gives each module as long
                        to connect

Several modules at once (a fleet run):
  --all                 update every module advertising FF10 that the scan
                        finds
  --parallel N          update at most N modules at once, 1 to 64 (default 4).
                        A BLE controller holds only a few links at once
                        (often 3 to 10), and BlueZ scans and connects one
                        device at a time, so modules are connected one after
                        another while their transfers overlap. A module's
                        place goes to the next once its link is down
  The image is read, or downloaded, once for all modules. A terminal shows a
  bar per module being updated, fitted to its width; a bar and its messages
  give the module by the shortest start of its identifier that tells it
  apart within the run, as git shortens hashes (identifiers that differ
  only at their end, by their first 8 characters, an ellipsis and their
  end). Modules beyond the terminal's height are counted in one line, "N
  more in flight". Without a terminal each module's lines are tagged with
  its identifier. A table ends the run: module (its identifier in full),
  name, result, bytes, time, speed, then why each failed module failed; on
  a narrow terminal it leaves out the names, then the results' exit
  statuses.

The simulated modules (sim only):
  (default)             one module, known as
                        6F1A3C52-0B7E-4D2A-9C51-3E8F2B7D4A10, or one module
                        per --module-id
  --no-module           no module is in range
  --modules N           N modules, 1 to 256, named "Printer BLE 01"... and known
                        as 6F1A3C52-0B7E-4D2A-9C51-3E8F2B7D0001...; --module-id
                        then picks among them
  --mtu N               packet size it grants, 0 to 255 (default 247)
  --credit N            DATA packets of its first window, 0 to 255 (default 3)
  --latency MS          it answers each packet after MS milliseconds, 0 to
                        1000 (default 0), as a real link would
  --att-mtu N           the ATT MTU of its link, 23 to 517 (default 517): a
                        write without response carries at most N - 3 bytes
  --max-image BYTES     the largest image it takes, as a real module's flash
                        bounds it (default 4194304, 4 MiB); a larger image
                        is refused at START
  --firmware-revision V
                        every module offers Device Information (180A) with
                        firmware revision V; after an update it accepted, a
                        module reports the version tagged in the new image
                        (the bytes "QVER:", the version, a NUL; the first
                        such tag; none: an empty revision)
  --firmware-revision WHICH:V
                        only module WHICH (number or identifier) has V
  --model M, --model WHICH:M
                        the model number, in the same two forms
  --out-of-range WHICH  module WHICH (its number from 1, or identifier) is
                        made but out of radio range; may be repeated
  --fault FAULT         inject a fault into every module; may be repeated
  --fault WHICH:FAULT   inject it into one module only, WHICH being its number
                        (from 1) or identifier; that module then has its own
                        faults instead of those given for every module. Faults:
)" + std::string(tools::fault_help()) + R"(
Making sure of the image:
  --sha256 DIGEST|FILE  send the image only if its SHA-256 digest is DIGEST
                        (64 hexadecimal digits) or the one that FILE, in
                        sha256sum's format, lists for the image's file name;
                        checked on the whole image, after a download, before
                        anything is sent (see exit status 11)
  --cacert FILE         trust the CA certificates in FILE (PEM) for https://
                        downloads instead of the system's. Certificate and
                        host name are always checked, and an https:// download
                        never follows a redirect to plain http://

Which modules get the image (a plan made from what each module reports):
  --image-version V     the image's firmware version (else version=V of the
                        signature's trusted comment, which V may not
                        contradict). Each module is connected and its Device
                        Information read (within 5 s) before anything is
                        written to it. A module that runs V already is
                        skipped ("already V"); one that runs a newer version
                        is refused (it would downgrade); one that runs an
                        older version, or reports none (no Device
                        Information, reads refused or too slow), is updated.
                        Versions compare as dotted numbers, each as a number
                        (2.9 before 2.10, 1.2 the same as 1.2.0, a leading
                        "v" allowed), a Semantic Versioning pre-release
                        below its release (2.1.0-rc.1 before 2.1.0), build
                        metadata ("+build.7") ignored; text that is no such
                        version is only equal or different, and different
                        is updated. Without an image version every module
                        is updated, as before
  --allow-reinstall     send the image to a module that already runs its
                        version
  --allow-older         send it to a module that runs a newer version
  --allow-other-model   send it to a module whose Model Number is not the
                        model=M of the signature's trusted comment; by
                        default such a module is refused with both named
                        (one that reports no model is not refused for it)
  --dry-run             update nothing: connect to each module, read what it
                        runs, and show the plan, a row per module
                        (identifier, name, model, running version, action,
                        reason); nothing is written to any module. Exit
                        status as the run would end if every update it
                        plans succeeded: 0, 20 when every module is
                        current, 10 (21 for one module) when one would be
                        refused
  Modules are asked afresh on every run, so the same command run again
  after a complete fleet run sends nothing, and after Ctrl-C updates only
  the modules not yet current. After an update the module's version is
  read again on the same link, and the table shows both. A module that
  restarts at once and drops the link keeps its old version in the table.

Signed firmware (minisign signatures):
  --trusted-key FILE|KEY  the image must be signed by this public key: a
                        minisign (or signify) public key file, or its key
                        line as `minisign -P` takes it; may be repeated
                        (rotating keys). Keys are also read from every *.pub
                        file in /etc/quillon/trusted-keys.d (or the folder
                        that QUILLON_TRUSTED_KEYS_DIR names)
  --signature FILE      the image's signature; default IMAGE.minisig beside
                        a local image, or URL.minisig for a URL (".minisig"
                        added to the URL's path), downloaded as the image is
                        and kept beside it in the cache
  --require-signature   refuse to run when no trusted key is configured,
                        instead of sending an unsigned image
  --allow-legacy-signature  also take legacy signatures (minisign -l, and
                        signify-openbsd's, which have no trusted comment);
                        by default only prehashed ones (minisign's default)
  With a trusted key configured, the image is checked once, before any
  module is looked for, and refused (exit status 12) unless a trusted key
  signed it. The trusted comment is shown; its words version=V and model=M
  state the image's firmware version and the module model it is built for,
  which decide which modules get it (see --image-version).
  With no trusted key, images are sent unchecked, as before.

Checking and showing:
  --verify              compare what the module received with the image
                        (length and SHA-256, as sha256sum prints it); over
                        bluez nothing can be read back, so the module's own
                        verdict on length and checksums is the check
  --save-received FILE  write what the module received to FILE
  --progress MODE       auto (bar on a terminal, else lines), bar, lines, none
  --json                print one JSON object per line for every event
                        instead of text (fields below)
  -v, --verbose         show the library's log lines on standard error
  -h, --help            show this text
  --version             show the program's version

JSON events (--json), each one line with "event" and:
  scanning    "service"
  retrieved   "identifier"
  found       "name", "identifier", "rssi" (dBm; null when not available);
              with --list also, when read, "model", "firmware_revision",
              "serial_number", "manufacturer", "hardware_revision",
              "software_revision" (text; strings that are not plain text
              shown escaped, as \xNN), and "notes" (lines about failed
              reads or strange strings)
  connected   "name"
  plan        (when the run compares versions, or --dry-run) "identifier",
              "name", "model", "version" (null when not reported), "action"
              (update, skip, refuse), "reason", "dry_run"
  download    "bytes", "total" (-1: unknown), "seconds", "bytes_per_second"
  transfer    "bytes", "total", "seconds", "bytes_per_second"
  signature   "verified" (true/false), "reason" (null, or no_signature,
              malformed_signature, unknown_key, bad_signature,
              bad_trusted_comment, legacy_not_allowed, bad_trusted_key,
              no_trusted_key), "key_id" (the
              signature's, or null), "trusted_key_ids", "legacy",
              "trusted_comment", "version", "model" (null when absent)
  verify      "match" (true/false), "bytes", "sha256" (hex, of what the
              module holds; null over bluez, where it cannot be read back)
  verdict     "outcome" (success, usage_error, module_not_found,
              image_unavailable, checksum_failure, timed_out,
              module_rejected, link_failed, verify_mismatch,
              digest_mismatch, signature_refused, already_current,
              policy_refused, planned, interrupted, terminated),
              "exit_status", "summary", "detail"; after a plan also
              "model", "version", "new_version" (read after the update;
              null when not read), "action", "reason"
  list        (last event of --list) "modules" (each with the fields of
              its "found" event), "exit_status"
  Progress events come at most ten times a second, and once at 100%.
  In a fleet run every event about one module also has "module" (its
  identifier), "scanning" has "seconds", each module ends with its own
  "verdict" (with "module", "name", "bytes", "seconds"), and the last event
  is "summary": "outcome" (success, nothing_to_do, failed, interrupted,
  terminated),
  "exit_status" and "modules" (every module's verdict). A fleet run that
  ends before any module is tried ends with a plain "verdict".

Exit status:
  0    the module accepted the image (and, with --verify, holds exactly
       it); with --list: one or more modules were found; with --dry-run:
       the plan sends the image to one or more modules and refuses none;
       a fleet run: every module updated or already current
  2    usage error
  3    module not found: nothing advertising FF10 within the scan time, or
       no remembered module that can be retrieved; with --list: none found
  4    firmware image not available: the file cannot be read or is not a
       regular file (a device, FIFO, socket or directory), the download
       failed (refused certificate and redirect from https:// to http://
       included), or the image is empty (refused before anything is sent)
  5    checksum failure reported by the transfer
  6    time-out: the module stopped answering for more than 3 seconds
  7    the module rejected the image (its verdict was not success)
  8    BLE link failed: connection refused or lost, no OTA service, or the
       module asks for packets longer than one write on the link carries;
       also when Bluetooth cannot be used at all or cannot scan (--list
       included)
  9    --verify found that the module does not hold exactly the image
  10   a fleet run in which one or more modules were not updated (a
       module the version policy refused included); the summary gives
       each module's own status (3 to 9, 21). A fleet run
       that cannot begin ends with the status of its reason (2, 3, 4, 8,
       11 or 12)
  11   image digest mismatch: the image is not the one --sha256 names;
       nothing was sent, and a downloaded image was removed from the cache
  12   image signature refused: a trusted key is configured and the image
       has no valid signature by one of them (no signature, a malformed
       one, unknown key ID, bad signature, bad trusted comment, a legacy
       signature where not allowed, or a trusted key that cannot be read),
       or --require-signature and no trusted key; the verdict names the
       reason and the key IDs. Nothing was connected, and a downloaded
       image was removed from the cache
  20   nothing to do: the module (every module of a fleet run) already
       runs the image's version; nothing was sent
  21   refused by the version policy: the image would downgrade the
       module, or is for another model; nothing was sent
  130  interrupted by Ctrl-C (SIGINT): the line being drawn is finished,
       the verdict says "aborted", and a half-written download is removed
       from the cache. A fleet run ends every transfer, prints its summary
       and exits with the same status
  143  terminated (SIGTERM), as for 130
)";
}

}  // namespace quillon::ota_tool
