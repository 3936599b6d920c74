// The tools' log sink: the library's lines (and a tool's own) go to standard
// error with --verbose and nowhere otherwise, and without --verbose the
// library need not format its per-packet lines at all. The tools decide
// nothing from these lines: why an image could not be had comes from the
// library's typed reasons. Thread-safe: each line is one write, and the OTA
// watchdog logs from its own thread.
#pragma once

#include <cstdio>
#include <string_view>

#include "quillon/platform/log_sink.h"

namespace quillon::tools {

class VerboseLogSink final : public LogSink {
 public:
  explicit VerboseLogSink(bool verbose) : verbose_(verbose) {}

  void line(std::string_view text) override {
    if (verbose_) std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
  }

  bool wants_lines() const override { return verbose_; }

 private:
  const bool verbose_;
};

}  // namespace quillon::tools
