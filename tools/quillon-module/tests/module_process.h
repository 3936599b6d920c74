// Runs the built quillon-module as a child process: its standard output on
// a pipe (where it says "ready"), its standard error in a file the test can
// show when something fails, and its exit status.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace quillon::module_tool::test_support {

class ModuleProcess {
 public:
  ModuleProcess(const std::vector<std::string>& args, std::filesystem::path log) : log_(std::move(log)) {
    std::vector<std::string> text{QUILLON_MODULE_BINARY};
    text.insert(text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : text) argv.push_back(a.data());
    argv.push_back(nullptr);
    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (spawned != 0) {
      close(fds[0]);
      throw std::runtime_error("cannot start quillon-module");
    }
    out_ = fdopen(fds[0], "r");
  }
  ~ModuleProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_) fclose(out_);
  }
  ModuleProcess(const ModuleProcess&) = delete;
  ModuleProcess& operator=(const ModuleProcess&) = delete;

  // True once it printed "ready"; false if it ended first.
  bool wait_ready() {
    char line[256];
    while (out_ && fgets(line, sizeof line, out_)) {
      if (std::string(line) == "ready\n") return true;
    }
    return false;
  }
  void signal(int number) { kill(pid_, number); }
  // Waits for it to end; its exit status (128 + the signal if one ended it).
  int finish() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  // What it printed on standard error.
  std::string log() const {
    std::ifstream in(log_);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

 private:
  std::filesystem::path log_;
  pid_t pid_ = -1;
  FILE* out_ = nullptr;
};

}  // namespace quillon::module_tool::test_support
