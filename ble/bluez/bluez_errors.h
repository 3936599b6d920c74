// The D-Bus errors bluetoothd (and the bus itself) answers the backend
// with, and the fragments of their messages that the backend tells apart.
// Every decision made on an error's name or message goes through this
// header: a rewording in bluetoothd is mended here, once.
#pragma once

#include <string>
#include <string_view>

#include "quillon/ble/ns_error.h"

namespace quillon::bluez {

// A D-Bus error reply ("org.bluez.Error.Failed", "Not connected").
struct BusError {
  std::string name;
  std::string message;
};

namespace error_name {
inline constexpr char kInProgress[] = "org.bluez.Error.InProgress";
inline constexpr char kFailed[] = "org.bluez.Error.Failed";
inline constexpr char kAlreadyConnected[] = "org.bluez.Error.AlreadyConnected";
inline constexpr char kNotPermitted[] = "org.bluez.Error.NotPermitted";
inline constexpr char kNotSupported[] = "org.bluez.Error.NotSupported";
inline constexpr char kDoesNotExist[] = "org.bluez.Error.DoesNotExist";
// The bus gave up waiting for an answer.
inline constexpr char kNoReply[] = "org.freedesktop.DBus.Error.NoReply";
inline constexpr char kTimeout[] = "org.freedesktop.DBus.Error.Timeout";
// The object (or its interface) is gone from bluetoothd.
inline constexpr char kUnknownObject[] = "org.freedesktop.DBus.Error.UnknownObject";
inline constexpr char kUnknownMethod[] = "org.freedesktop.DBus.Error.UnknownMethod";
}  // namespace error_name

namespace error_text {
// Failed: the controller gave up on a connection attempt by itself.
inline constexpr char kLocalAbort[] = "le-connection-abort-by-local";
// Failed: a Connect made while another attempt is under way (bluetoothd
// answers it so, not with InProgress).
inline constexpr char kAlreadyInProgress[] = "already in progress";
// Failed: bluetoothd chose BR/EDR for a dual-mode device and it failed.
inline constexpr char kBrConnection[] = "br-connection";
// NotPermitted, whole messages: the write or notification socket is held.
inline constexpr char kWriteAcquired[] = "Write acquired";
inline constexpr char kNotifyAcquired[] = "Notify acquired";
// The message our own InProgress-like refusal carries when another client
// keeps a characteristic notifying.
inline constexpr char kNotifying[] = "Notifying";
}  // namespace error_text

inline bool isError(const BusError& error, std::string_view name) { return error.name == name; }
inline bool mentions(std::string_view text, std::string_view fragment) {
  return text.find(fragment) != std::string_view::npos;
}

// Connect answers that a short wait usually cures: another operation is
// still running, or the controller gave up on this attempt by itself.
inline bool transient(const BusError& error) {
  return isError(error, error_name::kInProgress) || mentions(error.message, error_text::kLocalAbort) ||
         mentions(error.message, error_text::kAlreadyInProgress);
}

// The bus gave up waiting for the answer: BlueZ is still trying.
inline bool unanswered(const BusError& error) {
  return isError(error, error_name::kNoReply) || isError(error, error_name::kTimeout);
}

// The device object is gone: bluetoothd removed it since it was found.
inline bool objectGone(const BusError& error) {
  return isError(error, error_name::kUnknownObject) || isError(error, error_name::kUnknownMethod);
}

// The characteristic's socket is held by someone (this client included).
inline bool writeSocketHeld(const BusError& error) {
  return isError(error, error_name::kNotPermitted) && error.message == error_text::kWriteAcquired;
}
inline bool notifySocketHeld(const BusError& error) {
  return isError(error, error_name::kNotPermitted) && error.message == error_text::kNotifyAcquired;
}

// An error for the delegate that carries bluetoothd's: "<D-Bus error name>: <message>".
inline NSError busFailure(long code, const BusError& error) {
  return NSError{CBErrorDomain, code, error.name + ": " + error.message};
}

// The same for a characteristic's operation (read, write, subscribe).
inline NSError attFailure(long code, const BusError& error) {
  return NSError{CBATTErrorDomain, code, error.name + ": " + error.message};
}

}  // namespace quillon::bluez
