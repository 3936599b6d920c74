// quillon-ota --list's second step: a short connection to each module found,
// to read what it says it is (its Device Information), with at most a given
// number of links up at once. A module's place goes to the next once its
// link is down (or, should the platform never say so, after a while).
// CoreBluetooth's cancel reports the disconnection at once while the radio
// may hold the link a while longer; where the platform can say when the
// link is really down, Settings::hang_up ends it and says so.
// Every module ends with a result, however its connection or reads went.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "quillon/dis/device_information_reader.h"
#include "quillon/manager/ble_manager.h"
#include "quillon/platform/run_loop.h"

namespace quillon::ota_tool {

struct ModuleInformation {
  // What the reads gave; absent when no connection was made.
  std::optional<DeviceInformationReadResult> read;
  // Why there was no connection (absent when there was one).
  std::optional<std::string> connect_failure;
};

class ModuleInformationReads final : public std::enable_shared_from_this<ModuleInformationReads> {
 public:
  struct Settings {
    unsigned at_once = 4;
    std::chrono::milliseconds connect_limit{10000};
    std::chrono::milliseconds read_limit{5000};
    // Waited for the platform to say a link is down before its place is reused.
    std::chrono::milliseconds disconnect_limit{10000};
    // Ends a module's link and calls `down` once it is down. Empty: the
    // manager's disconnect, down at its didDisconnectPeripheral.
    std::function<void(const std::shared_ptr<CBPeripheral>& peripheral, std::function<void()> down)> hang_up;
  };
  // `each` hears every module's result (index into the list given to
  // start), in the order they end; `finished()` is true after the last.
  ModuleInformationReads(BLEManager& manager, std::shared_ptr<RunLoop> queue, Settings settings,
                         std::function<void(std::size_t index, const ModuleInformation&)> each);

  void start(std::vector<std::shared_ptr<CBPeripheral>> peripherals);
  // Ends every link and read now; no more results.
  void stop();
  bool finished() const { return done_ == modules_.size() || stopped_; }

  // The manager delegate's events, passed on.
  void connected(const std::shared_ptr<CBPeripheral>& peripheral);
  void failed(const std::shared_ptr<CBPeripheral>& peripheral, const std::optional<NSError>& error);
  void disconnected(const std::shared_ptr<CBPeripheral>& peripheral, const std::optional<NSError>& error);

 private:
  enum class Phase { Waiting, Connecting, Reading, Disconnecting, Done };
  struct Module {
    std::shared_ptr<CBPeripheral> peripheral;
    Phase phase = Phase::Waiting;
    std::shared_ptr<DeviceInformationReader> reader;
    ModuleInformation result;
  };

  Module* find(const std::shared_ptr<CBPeripheral>& peripheral, Phase phase);
  void fill();
  void readDone(std::size_t index, const DeviceInformationReadResult& result);
  void hangUp(std::size_t index);
  void placeFree(std::size_t index);
  void dropReader(Module& module);

  BLEManager& manager_;
  std::shared_ptr<RunLoop> queue_;
  Settings settings_;
  std::function<void(std::size_t, const ModuleInformation&)> each_;
  std::vector<Module> modules_;
  std::size_t next_ = 0;
  std::size_t done_ = 0;
  unsigned busy_ = 0;
  bool stopped_ = false;
};

}  // namespace quillon::ota_tool
