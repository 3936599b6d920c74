#include "quillon/bluez/bluez_backend.h"

#include <openssl/sha.h>

#include "bluez_central_manager.h"
#include "quillon/manager/ble_backend.h"
#include "quillon/platform/system_version.h"
#include "quillon/platform/user_defaults.h"

namespace quillon::bluez {

CBCentralManagerFactory centralFactory(BluezOptions options) {
  return [options](std::weak_ptr<CBCentralManagerDelegate> delegate, const std::shared_ptr<RunLoop>& queue) {
    return std::static_pointer_cast<CBCentralManager>(BluezCentralManager::create(std::move(delegate), queue, options));
  };
}

BLEPlatform makePlatform(BluezOptions options) {
  if (!options.log) options.log = std::make_shared<StderrLogSink>();
  if (!options.knownDevices) options.knownDevices = FileUserDefaults::standardLocation().parent_path() / "bluez-devices";
  auto log = options.log;
  return BLEPlatform{centralFactory(std::move(options)), std::make_shared<RunLoop>(),
                     std::make_shared<FileUserDefaults>(FileUserDefaults::standardLocation()),
                     std::make_shared<FixedSystemVersion>("17.0"), std::move(log)};
}

void forgetPeripheral(const std::shared_ptr<CBPeripheral>& peripheral,
                      std::function<void(const std::optional<NSError>&)> done) {
  if (!done) done = [](const std::optional<NSError>&) {};
  auto mine = std::dynamic_pointer_cast<BluezPeripheral>(peripheral);
  auto central = mine ? std::dynamic_pointer_cast<BluezCentralManager>(mine->context()) : nullptr;
  if (!central) {
    done(mine ? std::optional(NSError{CBErrorDomain, CBErrorUnknown, "The central of this peripheral is gone."})
              : std::nullopt);
    return;
  }
  central->forget(mine, std::move(done));
}

void registerBackend(BluezOptions options) {
  registerBLEBackend(BLEBackend::BlueZ, [options] { return makePlatform(options); });
}

// RFC 4122 version 5: SHA-1 over a namespace and the name. The name is
// "<adapter address>/<address>", the adapter's as BlueZ gives it (in
// capitals; earlier versions put the adapter's name there), the device's in
// capitals whatever the caller's case; the namespace is one of this
// library's own.
NSUUID deviceIdentifier(std::string_view adapterAddress, std::string_view address) {
  static constexpr std::uint8_t kNamespace[16] = {0x3b, 0x6e, 0x2a, 0x51, 0x8c, 0x04, 0x4f, 0x1d,
                                                  0x9a, 0x27, 0x55, 0xc1, 0x0e, 0x8b, 0x73, 0x42};
  std::string name(reinterpret_cast<const char*>(kNamespace), sizeof kNamespace);
  name += adapterAddress;
  name += '/';
  for (char c : address) name += static_cast<char>(c >= 'a' && c <= 'f' ? c - 'a' + 'A' : c);
  std::uint8_t digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(name.data()), name.size(), digest);
  NSUUID::Bytes bytes;
  std::copy(digest, digest + 16, bytes.begin());
  bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x50);
  bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80);
  return NSUUID(bytes);
}

}  // namespace quillon::bluez
