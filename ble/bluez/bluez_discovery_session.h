// This client's discovery session in bluetoothd (Adapter1.StartDiscovery
// and StopDiscovery), which the host's scan and the discovery of our own
// that finds a forgotten device again share. The calls go out without
// waiting, so the session is a phase while they are answered:
//
//   Off --start--> Starting --answered--> On --stop--> Stopping --answered--> Off
//                     \--refused--> Off
//
// bluetoothd keeps one session per client and answers InProgress to a
// StartDiscovery while the client's session exists or its StopDiscovery is
// still being carried out, and refuses a StopDiscovery while the start is
// (Busy). So StartDiscovery goes out once for every start asked for until
// it is answered; a stop asked for meanwhile follows the answer, and a
// start asked for while stopping follows the stop's answer. The filter
// (SetDiscoveryFilter) always goes out right before, or during, the session
// it is for. Main queue only.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bluez_bus.h"

namespace quillon::bluez {

class DiscoverySession : public std::enable_shared_from_this<DiscoverySession> {
 public:
  enum class Phase { Off, Starting, On, Stopping };
  using Filter = std::map<std::string, sdbus::Variant>;
  // StartDiscovery's answer: nothing when the session runs.
  using Answer = std::function<void(const std::optional<BusError>& refused)>;
  using Log = std::function<void(const std::string& text)>;

  DiscoverySession(BluezBus& bus, std::string adapterPath, Log log);

  // Sets `filter` and opens the session unless it is open: `answer` hears
  // at once when it is, otherwise once StartDiscovery is answered.
  void start(const Filter& filter, Answer answer);
  // Closes the session (once its start is answered, if it is on its way).
  // Answers still due to starts asked for before are not given.
  void stop();
  // bluetoothd ended the session itself (power-off, its restart): Off, and
  // the answers of calls still on their way are ignored.
  void forget();
  Phase phase() const { return phase_; }

 private:
  void setFilter(const Filter& filter);
  void sendStart();
  void sendStop();
  // Calls `method` of the adapter; `answered` takes the answer on the queue.
  using Answered = void (DiscoverySession::*)(unsigned epoch, const std::optional<BusError>& refused);
  void call(const char* method, Answered answered);
  void startAnswered(unsigned epoch, const std::optional<BusError>& refused);
  void stopAnswered(unsigned epoch, const std::optional<BusError>& refused);

  BluezBus& bus_;
  std::string adapterPath_;
  Log log_;
  Phase phase_ = Phase::Off;
  // Counts forget(): an answer from before belongs to a session that ended.
  unsigned epoch_ = 0;
  // Starting: a stop was asked for since. Stopping: a start was asked for
  // since, with `deferredFilter_`.
  bool stopDue_ = false;
  bool startDue_ = false;
  Filter deferredFilter_;
  std::vector<Answer> waiting_;  // the starts StartDiscovery's answer is for
};

}  // namespace quillon::bluez
