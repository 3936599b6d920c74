// Runs the built quillon-module as a child process: its standard output on
// a pipe (where it says "ready"), its standard error in a file the test can
// show when something fails, and its exit status. One still running when
// it goes is killed.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/child_process.h"

namespace quillon::module_tool::test_support {

class ModuleProcess {
 public:
  ModuleProcess(const std::vector<std::string>& args, std::filesystem::path log)
      : log_(std::move(log)),
        child_(quillon::test_support::commandLine(QUILLON_MODULE_BINARY, args),
               quillon::test_support::ChildOptions{.errors_to = log_, .stop_signal = SIGKILL}) {}

  // True once it printed its next "ready"; false if it ended first, or
  // printed none within a minute (far beyond what registering takes).
  bool wait_ready() {
    while (const auto line = child_.nextLine(60000)) {
      if (*line == "ready") return true;
    }
    return false;
  }
  void signal(int number) { child_.signal(number); }
  // Waits for it to end; its exit status (128 + the signal if one ended it).
  int finish() { return child_.finish(); }
  // What it printed on standard error.
  std::string log() const {
    std::ifstream in(log_);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

 private:
  std::filesystem::path log_;
  quillon::test_support::ChildProcess child_;
};

}  // namespace quillon::module_tool::test_support
