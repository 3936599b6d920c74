// Starts a private D-Bus bus (dbus-daemon, session-like policy) and the
// BlueZ stand-in (bluez_peer.py) on it, and points DBUS_SYSTEM_BUS_ADDRESS
// of this process at that bus, so that the BlueZ backend and everything the
// tests start talk to it and never to the machine's system bus.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace quillon::testing {

// The programs these tests start: the bus, the stand-in, a guest's peer.
using test_support::ChildProcess;

// The bus lives in a folder of its own under /tmp, removed with it.
class PrivateSystemBus {
 public:
  PrivateSystemBus() {
    char pattern[] = "/tmp/quillon-bus-XXXXXX";
    if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
    folder_ = pattern;
    const std::string folder = folder_;
    const std::string config = folder + "/bus.conf";
    std::ofstream(config) << R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:dir=)" << folder << R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";
    daemon_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{"/usr/bin/dbus-daemon", "--config-file=" + config, "--nofork", "--print-address=1"});
    address_ = daemon_->readLine();
    if (address_.empty()) throw std::runtime_error("dbus-daemon did not start");
    setenv("DBUS_SYSTEM_BUS_ADDRESS", address_.c_str(), 1);
  }
  ~PrivateSystemBus() {
    daemon_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  const std::string& address() const { return address_; }

 private:
  std::string folder_;
  std::unique_ptr<ChildProcess> daemon_;
  std::string address_;
};

// The stand-in for bluetoothd, started with `arguments` (see bluez_peer.py).
class BluezPeerProcess {
 public:
  explicit BluezPeerProcess(const std::vector<std::string>& arguments = {}) { start(arguments); }
  void start(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{"/usr/bin/python3", QUILLON_BLUEZ_PEER};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    peer_ = std::make_unique<ChildProcess>(argv);
    if (peer_->readLine() != "ready") throw std::runtime_error("the BlueZ peer did not start");
  }
  // Ends it: org.bluez leaves the bus.
  void stop() { peer_.reset(); }

 private:
  std::unique_ptr<ChildProcess> peer_;
};

}  // namespace quillon::testing
