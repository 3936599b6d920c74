#include "module_options.h"

#include <algorithm>
#include <cctype>
#include <cstdint>

#include "command_line.h"
#include "module_faults.h"
#include "module_image_limit.h"

namespace quillon::module_tool {
namespace {

// BlueZ sends the name in the advertising data, whose 31 bytes also carry
// the flags and FF10; a longer name is cut short by bluetoothd.
constexpr std::size_t kMaxNameBytes = 29;
// The longest attribute value GATT allows.
constexpr std::size_t kMaxAttributeBytes = 512;

std::optional<DeviceInformationField> information_field(std::string_view option) {
  if (option == "--manufacturer") return DeviceInformationField::ManufacturerName;
  if (option == "--model") return DeviceInformationField::ModelNumber;
  if (option == "--serial") return DeviceInformationField::SerialNumber;
  if (option == "--hardware-revision") return DeviceInformationField::HardwareRevision;
  if (option == "--firmware-revision") return DeviceInformationField::FirmwareRevision;
  return std::nullopt;
}

}  // namespace

namespace {

// Takes one of quillon-module's options into `options`.
std::optional<tools::UsageError> take_option(tools::OptionArgument& option, ModuleOptions& options) {
  using tools::UsageError;
  const std::string_view name = option.name();
  if (name == "-v" || name == "--verbose" || name == "--once") {
    if (auto e = option.flag(name == "--once" ? options.once : options.verbose)) return UsageError{*e};
    return std::nullopt;
  }
  if (!name.starts_with("-")) {
    return UsageError{"quillon-module takes no arguments, only options ('" + std::string(option.given()) + "')"};
  }
  const auto field = information_field(name);
  const bool known = field || name == "--adapter" || name == "--name" || name == "--mtu" || name == "--credit" ||
                     name == "--hold-ack" || name == "--max-image" || name == "--fault" || name == "--save-received";
  if (!known) return option.unknown();
  const auto v = option.value();
  if (!v) return UsageError{option.missing()};
  if (name == "--adapter") {
    if (v->empty()) return UsageError{option.missing()};
    // An object path element of org.bluez: letters, digits, underscores.
    if (!std::all_of(v->begin(), v->end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; })) {
      return UsageError{"--adapter must be an adapter name such as hci0, not '" + std::string(*v) + "'"};
    }
    options.adapter = std::string(*v);
  } else if (name == "--name") {
    if (v->empty()) return UsageError{option.missing()};
    if (v->size() > kMaxNameBytes) {
      return UsageError{"--name must be at most " + std::to_string(kMaxNameBytes) + " bytes, to fit an advertisement"};
    }
    options.name = std::string(*v);
  } else if (name == "--mtu" || name == "--credit") {
    auto n = tools::parse_count(*v, 0, 255);
    if (!n) return UsageError{std::string(name) + " must be a whole number from 0 to 255, not '" + std::string(*v) + "'"};
    (name == "--mtu" ? options.module.mtu : options.module.credit) = static_cast<std::uint8_t>(*n);
  } else if (name == "--hold-ack") {
    auto n = tools::parse_count(*v, 0, 10000);
    if (!n) return UsageError{"--hold-ack must be a whole number of milliseconds from 0 to 10000, not '" + std::string(*v) + "'"};
    options.hold_ack_ms = static_cast<unsigned>(*n);
  } else if (name == "--max-image") {
    if (auto e = tools::apply_max_image(*v, options.module)) return UsageError{*e};
  } else if (name == "--fault") {
    if (auto e = tools::apply_fault(*v, options.module.faults)) return UsageError{*e};
  } else if (field) {
    if (v->size() > kMaxAttributeBytes) {
      return UsageError{std::string(name) + " must be at most " + std::to_string(kMaxAttributeBytes) +
                        " bytes, the most a GATT value holds"};
    }
    options.information[*field] = std::string(*v);
  } else {  // --save-received
    if (v->empty()) return UsageError{option.missing()};
    options.save_received = std::string(*v);
  }
  return std::nullopt;
}

}  // namespace

ParseResult parse_arguments(std::span<const std::string_view> args) {
  ModuleOptions options;
  const auto answer =
      tools::read_options(args, [&options](tools::OptionArgument& option) { return take_option(option, options); });
  if (answer) return std::visit([](const auto& early) -> ParseResult { return early; }, *answer);
  return options;
}

std::string usage_text() {
  return std::string(R"(Usage: quillon-module [options]

Makes this Linux machine's Bluetooth adapter a printer's BLE data module, so
that an app (or quillon-ota --backend bluez) can be tested against a module
on a real radio without a printer. Through BlueZ (bluetoothd) on the system
bus it offers the module's GATT services and advertises them:

  FF10  the OTA service: FF11 (write, write without response, notify)
        carries the firmware-update protocol to the same module code that
        the simulated world runs; its answers go out as notifications.
  FF00  the data service: FF01 (notify; nothing is sent on it), FF02 (write,
        write without response; the bytes are counted and shown with
        --verbose), FF03 (read, notify; reads 01, ready to print).
  180A  Device Information, when any of its strings is given (below).

The advertisement carries the name and FF10. Writes are served in the order
they arrive. Once both the GATT application and the advertisement are
registered it prints "ready" on standard output; every event (registered,
first write, START with the announced length, END with the verdict, the
bytes received and why it failed) is one line on standard error. Ctrl-C or
SIGTERM unregisters both and ends it.

bluetoothd must run and the adapter be powered (bluetoothctl power on), and
the user must be allowed to use org.bluez on the system bus (root, or the
group the system's D-Bus policy names, often "bluetooth").
DBUS_SYSTEM_BUS_ADDRESS, when set, names the system bus.

Options:
  --adapter NAME        the adapter to serve from (default hci0)
  --name TEXT           the name it advertises, at most 29 bytes (default
                        "Printer BLE")
  --mtu N               packet size it grants with START, 0 to 255
                        (default 247)
  --credit N            DATA packets of the first window, granted with
                        START, 0 to 255 (default 3)
  --max-image BYTES     the largest image it takes, as a real module's flash
                        bounds it (default 4194304, 4 MiB): a START
                        announcing more is refused at once (the
                        acknowledgement's result 2, no credit, then the
                        module's END with 2). Whatever is sent, the module
                        keeps no more than the announced length
  --fault FAULT         make the module misbehave; may be repeated. Faults
                        (the names quillon-ota gives the simulated module's):
)") + std::string(tools::fault_help()) +
         R"(  --manufacturer TEXT   offer the Device Information service (180A) with
                        this manufacturer name (2A29); read only, at most
                        512 bytes, taken byte for byte, as each of these:
  --model TEXT          model number (2A24)
  --serial TEXT         serial number (2A25)
  --hardware-revision TEXT
                        hardware revision (2A27)
  --firmware-revision TEXT
                        firmware revision (2A26). After a transfer the module
                        accepted, it is the version tagged in the image (the
                        bytes "QVER:", the version, a NUL; the first such
                        tag; none: empty), as a real module reports after its
                        restart
  --save-received FILE  when a transfer ends (the host's END), write what the
                        module received to FILE, replacing it
  --hold-ack MS         hold each acknowledgement of DATA MS milliseconds
                        before notifying it; with --verbose, lines count DATA
                        packets that arrive meanwhile (beyond the module's
                        credit) and writes after the host's END
  --once                end after one transfer, with the module's verdict as
                        exit status
  -v, --verbose         also show every packet and write on standard error
  -h, --help            show this text
  --version             show the program's version

Exit status:
  0    with --once: the module answered END with success (it received
       exactly the announced length, every checksum right); without --once:
       stopped by Ctrl-C or SIGTERM
  1    the connection to the system bus failed while serving
  2    usage error
  3    with --once: the module answered END with a failure (a bad checksum,
       a length other than announced, packets out of order), or refused a
       START announcing more than --max-image
  4    no system bus, or org.bluez is not on it (bluetoothd not running)
  5    no such adapter, or it offers no GATT server or advertising
  6    BlueZ refused the application or the advertisement (its error name
       and message are printed)
  7    --save-received: the file could not be written
  130  with --once: stopped by Ctrl-C before the transfer ended
  143  with --once: stopped by SIGTERM before the transfer ended
)";
}

}  // namespace quillon::module_tool
