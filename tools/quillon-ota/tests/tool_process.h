// Runs the built quillon-ota as a child process with its own configuration
// and cache folders, and collects what it printed (standard output and
// error together) and its exit status.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace quillon::ota_tool::test_support {

struct ToolRun {
  int status = -1;
  std::string output;

  // The last line printed: the verdict.
  std::string verdict() const {
    auto end = output.find_last_not_of('\n');
    if (end == std::string::npos) return "";
    auto start = output.rfind('\n', end);
    return output.substr(start == std::string::npos ? 0 : start + 1, end - (start == std::string::npos ? 0 : start + 1) + 1);
  }
  bool says(const std::string& text) const { return output.find(text) != std::string::npos; }
};

// A running quillon-ota whose output can be waited for and which can be
// sent a signal, as a user at the terminal or a service manager would.
// `home` holds the run's config/ and cache/ (XDG_CONFIG_HOME, XDG_CACHE_HOME)
// and trusted-keys.d/ (QUILLON_TRUSTED_KEYS_DIR). One still running when
// it goes is waited for.
class ToolProcess {
 public:
  ToolProcess(const std::vector<std::string>& args, const std::filesystem::path& home)
      : child_(quillon::test_support::commandLine(QUILLON_OTA_BINARY, args), quillon::test_support::ChildOptions{
                                  .environment = {"XDG_CONFIG_HOME=" + (home / "config").string(),
                                                  "XDG_CACHE_HOME=" + (home / "cache").string(),
                                                  // Never the machine's keyring: the run's own, empty
                                                  // unless a test fills it.
                                                  "QUILLON_TRUSTED_KEYS_DIR=" + (home / "trusted-keys.d").string()},
                                  .errors_with_output = true,
                                  .stop_signal = 0}) {}

  // Reads output until `text` has appeared; false if the tool ended first.
  bool wait_for(const std::string& text) { return child_.waitFor(text); }
  void signal(int number) { child_.signal(number); }
  // What it has printed so far.
  const std::string& output() const { return child_.output(); }
  // Reads the rest of the output and waits for the tool to end.
  ToolRun finish() {
    ToolRun run;
    run.status = child_.finish();
    run.output = child_.output();
    return run;
  }

 private:
  quillon::test_support::ChildProcess child_;
};

inline ToolRun run_tool(const std::vector<std::string>& args, const std::filesystem::path& home) {
  return ToolProcess(args, home).finish();
}

}  // namespace quillon::ota_tool::test_support
