// How a connection to a BlueZ device is made, as plain data and pure
// functions: no bus, no clock, no queue.
//
// Theory of operation. A connection asked for is one ConnectionAttempt,
// always in one phase. The driver (bluez_connection_driver.cpp) calls
// Device1.Connect and hands each thing bluetoothd does (the Connect reply,
// the link going down, a delayed retry falling due) to a step function,
// which returns the attempt's next state and the one action to take. Each
// bluetoothd quirk the backend handles is one row of these functions, with
// a test named after bluetoothd's answer (bluez_connection_policy_test.cpp).
//
// The attempt's generation tells replies and delayed tasks of an attempt
// that ended (cancelled, failed, timed out, replaced) from the live one;
// connectCalls tells a delayed retry from a Connect made since.
#pragma once

#include <optional>

#include "bluez_errors.h"

namespace quillon::bluez {

enum class ConnectPhase {
  Idle,              // no connection asked for, or it ended
  AwaitingOldLink,   // our Disconnect is not answered yet: bluetoothd would answer Connect with the dying link
  FindingAgain,      // bluetoothd forgot the device: a discovery of our own looks for it
  AwaitingReply,     // Connect is on its way
  AwaitingLinkDown,  // a refused attempt's link is still up: Connect would answer success with it
  RetryDelay,        // a refusal that passes by itself is waited out
  Resolving,         // Connect answered: waiting for ServicesResolved, the service objects and the table
  AlreadyLinked,     // linked and resolved before we asked (an earlier run, another program)
  Connected,         // usable, reported to the delegate
};

const char* phaseName(ConnectPhase phase);

struct ConnectionAttempt {
  // Answers that a short wait usually cures are waited out this many times.
  static constexpr unsigned kRetries = 2;

  ConnectPhase phase = ConnectPhase::Idle;
  unsigned generation = 0;    // which connection this is; bumped when one starts or is cancelled
  unsigned retries = 0;       // transient refusals and early link drops waited out so far
  unsigned connectCalls = 0;  // Device1.Connect calls made, so that a delayed retry is not made twice
  // The generation for which GetManagedObjects was asked, the one whose
  // answer is in the tree (the device's whole GATT table), and the one
  // whose missing service objects are being waited for (0: none).
  unsigned tableAsked = 0;
  unsigned tableConfirmed = 0;
  unsigned servicesExpected = 0;
  // Our Disconnect is not answered yet: bluetoothd holds the link up for
  // 2 s first. A fact about the link, kept across attempts.
  bool disconnecting = false;

  // Connect answered success for this call: the link is up even where no
  // PropertiesChanged says so.
  bool answered() const { return phase == ConnectPhase::Resolving; }
};

// What the driver does next.
enum class ConnectAction {
  None,             // nothing: the answer changes nothing (or came too late)
  CheckReady,       // linked: see whether it is usable, and read its properties back meanwhile
  TimeOut,          // give up: Disconnect, and fail with CBErrorConnectionTimeout
  FindAgain,        // the device object is gone: a discovery of our own looks for it
  RetryAfterDelay,  // Connect again after a short delay (unless another Connect went meanwhile)
  RetryWhenDown,    // Connect again once the link is down, or after a while all the same
  ConnectNow,       // Connect again now
  Reconnect,        // the answered link dropped before it was ready: Connect again now, and say so
  Fail,             // fail with bluetoothd's error
};

const char* actionName(ConnectAction action);

struct ConnectStep {
  ConnectionAttempt next;
  ConnectAction action = ConnectAction::None;
};

// A new connection (after connectPeripheral): a new generation, nothing
// waited out yet, nothing answered.
ConnectionAttempt beginAttempt(ConnectionAttempt attempt);
// A Connect call goes out (unless the device is being looked for, which
// makes the call once it is found): nullopt then.
std::optional<ConnectionAttempt> connectCalled(ConnectionAttempt attempt);

// Device1.Connect answered: success (no error), or bluetoothd's error.
// `linkUp`: the device object says Connected (a refused attempt leaves its
// link up a moment, and Connect on that link would answer success at once).
ConnectStep onConnectReply(const ConnectionAttempt& attempt, const std::optional<BusError>& error, bool linkUp);
// Connected went false while the connection was being made.
ConnectStep onLinkDown(const ConnectionAttempt& attempt);
// A retry scheduled in phase `waitedIn` when `call` Connect calls had been
// made falls due.
ConnectStep onRetryDue(const ConnectionAttempt& attempt, ConnectPhase waitedIn, unsigned call);

}  // namespace quillon::bluez
