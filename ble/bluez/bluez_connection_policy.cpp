#include "bluez_connection_policy.h"

namespace quillon::bluez {

const char* phaseName(ConnectPhase phase) {
  switch (phase) {
    case ConnectPhase::Idle: return "Idle";
    case ConnectPhase::AwaitingOldLink: return "AwaitingOldLink";
    case ConnectPhase::FindingAgain: return "FindingAgain";
    case ConnectPhase::AwaitingReply: return "AwaitingReply";
    case ConnectPhase::AwaitingLinkDown: return "AwaitingLinkDown";
    case ConnectPhase::RetryDelay: return "RetryDelay";
    case ConnectPhase::Resolving: return "Resolving";
    case ConnectPhase::AlreadyLinked: return "AlreadyLinked";
    case ConnectPhase::Connected: return "Connected";
  }
  return "?";
}

const char* actionName(ConnectAction action) {
  switch (action) {
    case ConnectAction::None: return "None";
    case ConnectAction::CheckReady: return "CheckReady";
    case ConnectAction::TimeOut: return "TimeOut";
    case ConnectAction::FindAgain: return "FindAgain";
    case ConnectAction::RetryAfterDelay: return "RetryAfterDelay";
    case ConnectAction::RetryWhenDown: return "RetryWhenDown";
    case ConnectAction::ConnectNow: return "ConnectNow";
    case ConnectAction::Reconnect: return "Reconnect";
    case ConnectAction::Fail: return "Fail";
  }
  return "?";
}

ConnectionAttempt beginAttempt(ConnectionAttempt attempt) {
  ++attempt.generation;
  attempt.retries = 0;
  attempt.phase = ConnectPhase::AwaitingReply;
  return attempt;
}

std::optional<ConnectionAttempt> connectCalled(ConnectionAttempt attempt) {
  if (attempt.phase == ConnectPhase::FindingAgain) return std::nullopt;
  ++attempt.connectCalls;
  attempt.phase = ConnectPhase::AwaitingReply;
  return attempt;
}

// While the device is being looked for, an answer to a Connect made before
// it went changes nothing but the count of retries: finding it makes the
// next call.
ConnectStep onConnectReply(const ConnectionAttempt& attempt, const std::optional<BusError>& error, bool linkUp) {
  ConnectStep step{attempt, ConnectAction::None};
  const bool finding = attempt.phase == ConnectPhase::FindingAgain;
  // AlreadyConnected: a link that is up is what Connect is for.
  if (!error || isError(*error, error_name::kAlreadyConnected)) {
    if (finding) return step;
    step.next.phase = ConnectPhase::Resolving;
    step.action = ConnectAction::CheckReady;
    return step;
  }
  // The bus's own time-out is the connection's: it may come just before
  // the connection's time-out task does.
  if (unanswered(*error)) {
    step.action = ConnectAction::TimeOut;
    return step;
  }
  if (objectGone(*error)) {
    if (!finding) step.action = ConnectAction::FindAgain;
    return step;
  }
  if (transient(*error) && attempt.retries < ConnectionAttempt::kRetries) {
    ++step.next.retries;
    // A refused attempt leaves its link up for a moment (Connected true,
    // then the error, then false), and Connect on a link that is still up
    // answers success at once: try again once it is down.
    step.action = linkUp ? ConnectAction::RetryWhenDown : ConnectAction::RetryAfterDelay;
    if (!finding) step.next.phase = linkUp ? ConnectPhase::AwaitingLinkDown : ConnectPhase::RetryDelay;
    return step;
  }
  step.action = ConnectAction::Fail;
  return step;
}

// An attempt waiting for its link to go down goes on now. An answered one
// whose link dropped before it was ready (an abort a moment after the
// connection event) is made again, within the retries, rather than left to
// the time-out.
ConnectStep onLinkDown(const ConnectionAttempt& attempt) {
  ConnectStep step{attempt, ConnectAction::None};
  if (attempt.phase == ConnectPhase::AwaitingLinkDown) {
    step.action = ConnectAction::ConnectNow;
  } else if (attempt.answered() && attempt.retries < ConnectionAttempt::kRetries) {
    ++step.next.retries;
    step.action = ConnectAction::Reconnect;
  }
  return step;
}

// bluetoothd does not signal every change of Connected: a retry that heard
// nothing goes ahead after a while all the same, unless the attempt moved
// on meanwhile (another Connect went, the device was found again, ...).
ConnectStep onRetryDue(const ConnectionAttempt& attempt, ConnectPhase waitedIn, unsigned call) {
  ConnectStep step{attempt, ConnectAction::None};
  if (attempt.phase == waitedIn && attempt.connectCalls == call) step.action = ConnectAction::ConnectNow;
  return step;
}

}  // namespace quillon::bluez
