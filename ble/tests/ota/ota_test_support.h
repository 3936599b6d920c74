// Test doubles for the OTA controller: a settable clock, watchdogs run by
// hand on the test's thread, a delegate that records what it is given, and a
// controller joined to the simulated module by an in-memory link.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "quillon/ota/ble_ota_controller.h"
#include "quillon/platform/posix_file_image_handle.h"
#include "quillon/ota/ota_packet.h"
#include "quillon/module/ota_module.h"

namespace quillon::test {

using Bytes = std::vector<std::uint8_t>;

// The module's answers that the controller tests send most: START
// acknowledged with a 20-byte chunk and a window of 3, a DATA
// acknowledgement, and the module's END with success.
inline const Bytes kAckStart20x3{0xFC, 0xF1, 0x00, 0x14, 0x03, 0x04};
inline const Bytes kAckData{0xFC, 0xF2, 0x00, 0x02, 0x00, 0xF0};
inline const Bytes kModuleEndOk{0xF3, 0x01, 0x00, 0xF4};

class FakeClock final : public Clock {
 public:
  explicit FakeClock(std::int64_t now = 1000) : now_(now) {}
  std::int64_t now_seconds() override { return now_.load(); }
  void set(std::int64_t now) { now_.store(now); }

 private:
  std::atomic<std::int64_t> now_;
};

// The real platform with the given pieces replaced (the rest, e.g. the HTTP
// client, stays as it is by default).
inline OtaPlatform platform_with(std::shared_ptr<LogSink> log, std::shared_ptr<Clock> clock,
                                 std::shared_ptr<WatchdogFactory> watchdogs = nullptr) {
  OtaPlatform platform;
  platform.log = std::move(log);
  platform.clock = std::move(clock);
  if (watchdogs) platform.watchdogs = std::move(watchdogs);
  return platform;
}

// The module's settings for one test, spelled without aggregate
// initialisation so that adding a setting breaks no test.
inline OtaModuleConfig module_config(std::uint8_t mtu, std::uint8_t credit,
                                        std::function<void(OtaModuleFaults&)> faults = {}) {
  OtaModuleConfig config;
  config.mtu = mtu;
  config.credit = credit;
  if (faults) faults(config.faults);
  return config;
}

// A watchdog whose body runs only when the test calls run(), on the test's
// own thread; each period's wait moves the fake clock to the next check time.
class SteppedWatchdog final : public WatchdogThread {
 public:
  explicit SteppedWatchdog(WatchdogFactory::Body body) : body_(std::move(body)) {}

  void cancel() override { cancelled_ = true; }
  // The answer is taken before after_cancel_check runs, as a thread that
  // checks and is then overtaken by another would see it.
  bool isCancelled() const override {
    const bool cancelled = cancelled_;
    if (after_cancel_check) after_cancel_check();
    return cancelled;
  }
  bool finished() const override { return finished_; }
  void join() override {}
  void sleep_period() override {
    ++periods_;
    if (next_ < checks_.size()) {
      clock_->set(checks_[next_++]);
    } else {
      cancelled_ = true;  // out of script: end quietly at the next check
    }
  }

  // Runs the body with its checks at the given clock times, in order.
  void run(FakeClock& clock, std::vector<std::int64_t> check_times) {
    clock_ = &clock;
    checks_ = std::move(check_times);
    next_ = 0;
    if (!checks_.empty()) clock.set(checks_[next_++]);
    body_(*this);
    finished_ = true;
  }
  int periods() const { return periods_; }

  // Runs inside every isCancelled(), after its answer is fixed.
  std::function<void()> after_cancel_check;

 private:
  WatchdogFactory::Body body_;
  FakeClock* clock_ = nullptr;
  std::vector<std::int64_t> checks_;
  std::size_t next_ = 0;
  bool cancelled_ = false;
  bool finished_ = false;
  int periods_ = 0;
};

class SteppedWatchdogFactory final : public WatchdogFactory {
 public:
  std::shared_ptr<WatchdogThread> start(Body body) override {
    auto dog = std::make_shared<SteppedWatchdog>(std::move(body));
    started.push_back(dog);
    return dog;
  }
  std::vector<std::shared_ptr<SteppedWatchdog>> started;
};

struct Report {
  std::uint8_t state;
  std::int64_t parameter;
  bool operator==(const Report&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const Report& r) {
  return os << "{" << int(r.state) << "," << r.parameter << "}";
}

class RecordingDelegate : public BLEOTADelegate {
 public:
  void ota_send_data(Bytes packet) override {
    if (keep_packets) sent.push_back(packet);
    ++packets_sent;
    if (on_send) on_send(std::move(packet));
  }
  void ota_state_parameter(std::uint8_t state, std::int64_t parameter) override {
    if (state == OTA_STATE_DATAING) {
      if (parameter <= last_dataing) dataing_rising = false;
      last_dataing = parameter;
      ++dataing_reports;
      if (!keep_dataing) return;
    }
    if (on_report) {
      on_report(state, parameter);
    } else {
      reports.push_back({state, parameter});
    }
  }

  std::function<void(Bytes)> on_send;
  // Replaces recording for reports other than DATAING (threaded tests).
  std::function<void(std::uint8_t, std::int64_t)> on_report;
  bool keep_packets = true;
  bool keep_dataing = true;
  std::vector<Bytes> sent;
  std::uint64_t packets_sent = 0;
  std::vector<Report> reports;
  std::int64_t last_dataing = 0;
  std::uint64_t dataing_reports = 0;
  bool dataing_rising = true;
};

// A fresh directory under the test temp dir, removed with its files.
class TempDir {
 public:
  TempDir() {
    std::string pattern = ::testing::TempDir() + "quillon_ota_XXXXXX";
    path_ = mkdtemp(pattern.data()) ? pattern : std::string();
  }
  ~TempDir() {
    for (const auto& f : files_) ::unlink(f.c_str());
    ::rmdir(path_.c_str());
  }
  // Writes `bytes` to a new file and returns its path.
  std::string write(const std::string& name, const Bytes& bytes) {
    const std::string file = path_ + "/" + name;
    FILE* out = std::fopen(file.c_str(), "wb");
    if (out) {
      if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), out);
      std::fclose(out);
    }
    files_.push_back(file);
    return file;
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
  std::vector<std::string> files_;
};

// Deterministic image bytes, different at every offset within a packet.
inline Bytes make_image(std::size_t length, std::uint32_t seed = 1) {
  Bytes image(length);
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto& b : image) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(x >> 16);
  }
  return image;
}

// The controller and the simulated module joined by an in-memory link. The
// link is a pair of queues drained one item at a time, so a long transfer
// never recurses per window.
class OtaPair {
 public:
  explicit OtaPair(OtaModuleConfig config = {}, std::shared_ptr<LogSink> log = nullptr)
      : module(std::move(config)) {
    log_ = log ? std::move(log) : memory_log;
    controller = std::make_unique<BLEOTAController>(platform_with(log_, clock, watchdogs));
    delegate->on_send = [this](Bytes packet) { to_module.push_back(std::move(packet)); };
    controller->setDelegate(delegate);
  }

  // Carries bytes both ways until neither side has anything to say.
  void run_until_idle() {
    for (;;) {
      if (!to_module.empty()) {
        module.receive(to_module.front());
        to_module.pop_front();
      } else if (auto chunk = module.take_output()) {
        controller->pkt_received(*chunk);
      } else {
        return;
      }
    }
  }

  std::shared_ptr<MemoryLogSink> memory_log = std::make_shared<MemoryLogSink>();
  std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
  std::shared_ptr<SteppedWatchdogFactory> watchdogs = std::make_shared<SteppedWatchdogFactory>();
  std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
  OtaModule module;
  std::unique_ptr<BLEOTAController> controller;
  std::deque<Bytes> to_module;

 private:
  std::shared_ptr<LogSink> log_;
};

}  // namespace quillon::test

namespace quillon::test {
template <std::size_t N>
Bytes bytes_of(const std::array<std::uint8_t, N>& a) {
  return Bytes(a.begin(), a.end());
}
}  // namespace quillon::test
