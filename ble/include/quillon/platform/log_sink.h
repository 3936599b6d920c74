// Where a subsystem's log lines go: one sink per subsystem, one call per
// line, no prefix added and no levels, so that tests can read exact lines.
#pragma once

#include <cstdarg>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace quillon {

class LogSink {
 public:
  virtual ~LogSink() = default;
  // Takes one finished line, without a trailing newline. May be called from
  // any thread (the OTA watchdog logs from its own).
  virtual void line(std::string_view text) = 0;

  // False for a sink that has no use for routine lines (it drops them, or
  // keeps only those that report failures), so that a busy caller need not
  // format its per-packet lines for it. Every other line still comes.
  virtual bool wants_lines() const { return true; }

  // Formats with printf conversions and passes the result to line().
  void logf(const char* format, ...) __attribute__((format(printf, 2, 3)));
};

// Writes each line to standard error, the way NSLog does.
class StderrLogSink final : public LogSink {
 public:
  void line(std::string_view text) override;
};

// Discards every line.
class NullLogSink final : public LogSink {
 public:
  void line(std::string_view) override {}
  bool wants_lines() const override { return false; }
};

// Keeps every line in memory, for tests and tools. Thread-safe.
class MemoryLogSink final : public LogSink {
 public:
  void line(std::string_view text) override;
  std::vector<std::string> lines() const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

}  // namespace quillon
