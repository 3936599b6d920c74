// A platform error (Foundation's NSError) as CoreBluetooth reports it.
// Where an operation may or may not carry one, "absent" is an empty
// std::optional<NSError>: no error.
#pragma once

#include <optional>
#include <string>

namespace quillon {

// CoreBluetooth's error domain and the codes the simulated world uses.
inline constexpr char CBErrorDomain[] = "CBErrorDomain";
inline constexpr char CBATTErrorDomain[] = "CBATTErrorDomain";
enum CBError : long {
  CBErrorUnknown = 0,
  CBErrorInvalidParameters = 1,
  CBErrorNotConnected = 3,
  CBErrorConnectionTimeout = 6,
  CBErrorPeripheralDisconnected = 7,
  CBErrorConnectionFailed = 10,
};
// ATT protocol errors, as a peripheral answers a request.
enum CBATTError : long {
  CBATTErrorReadNotPermitted = 2,
  CBATTErrorWriteNotPermitted = 3,
  CBATTErrorInvalidAttributeValueLength = 13,
};

struct NSError {
  std::string domain;
  long code = 0;
  std::string localizedDescription;

  // The text form that the log shows, as NSError's description reads:
  // Error Domain=<domain> Code=<code> "<localizedDescription>"
  std::string description() const;
};

// The text form of a possibly absent error; absent prints "(null)", as the
// platform log prints a nil object.
std::string describe(const std::optional<NSError>& error);

}  // namespace quillon
