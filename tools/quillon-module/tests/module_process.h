// Runs the built quillon-module as a child process: its standard output on
// a pipe (where it says "ready"), its standard error in a file the test can
// show when something fails, and its exit status.
#pragma once

#include <fcntl.h>
#include <poll.h>
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
    out_ = fds[0];
  }
  ~ModuleProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
  }
  ModuleProcess(const ModuleProcess&) = delete;
  ModuleProcess& operator=(const ModuleProcess&) = delete;

  // True once it printed its next "ready"; false if it ended first, or
  // printed none within a minute (far beyond what registering takes).
  bool wait_ready() {
    for (;;) {
      if (const auto end = pending_.find('\n'); end != std::string::npos) {
        const std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        if (line == "ready") return true;
        continue;
      }
      pollfd fd{out_, POLLIN, 0};
      if (poll(&fd, 1, 60000) <= 0) return false;
      char buffer[256];
      const ssize_t got = read(out_, buffer, sizeof buffer);
      if (got <= 0) return false;
      pending_.append(buffer, static_cast<std::size_t>(got));
    }
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
  int out_ = -1;
  std::string pending_;  // read, not yet taken as lines
};

}  // namespace quillon::module_tool::test_support
