// Runs the built quillon-ota as a child process with its own configuration
// and cache folders, and collects what it printed (standard output and
// error together) and its exit status.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

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
// and trusted-keys.d/ (QUILLON_TRUSTED_KEYS_DIR).
class ToolProcess {
 public:
  ToolProcess(const std::vector<std::string>& args, const std::filesystem::path& home) {
    std::vector<std::string> env_text;
    for (char** e = environ; *e; ++e) {
      if (std::strncmp(*e, "XDG_CONFIG_HOME=", 16) != 0 && std::strncmp(*e, "XDG_CACHE_HOME=", 15) != 0 &&
          std::strncmp(*e, "QUILLON_TRUSTED_KEYS_DIR=", 25) != 0) {
        env_text.push_back(*e);
      }
    }
    env_text.push_back("XDG_CONFIG_HOME=" + (home / "config").string());
    env_text.push_back("XDG_CACHE_HOME=" + (home / "cache").string());
    // Never the machine's keyring: the run's own, empty unless a test fills it.
    env_text.push_back("QUILLON_TRUSTED_KEYS_DIR=" + (home / "trusted-keys.d").string());
    std::vector<char*> envp;
    for (auto& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);

    std::vector<std::string> argv_text{QUILLON_OTA_BINARY};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);

    int fds[2];
    if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDERR_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    const int spawned = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (spawned != 0) {
      close(fds[0]);
      throw std::runtime_error("cannot start " + argv_text[0]);
    }
    fd_ = fds[0];
  }
  ~ToolProcess() {
    if (fd_ >= 0) finish();
  }

  // Reads output until `text` has appeared; false if the tool ended first.
  bool wait_for(const std::string& text) {
    while (run_.output.find(text) == std::string::npos) {
      if (!read_some()) return false;
    }
    return true;
  }

  void signal(int number) { ::kill(pid_, number); }

  // What it has printed so far.
  const std::string& output() const { return run_.output; }

  // Reads the rest of the output and waits for the tool to end.
  ToolRun finish() {
    while (read_some()) {
    }
    close(fd_);
    fd_ = -1;
    int status = 0;
    waitpid(pid_, &status, 0);
    run_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run_;
  }

 private:
  bool read_some() {
    char buffer[4096];
    for (;;) {
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      run_.output.append(buffer, static_cast<std::size_t>(n));
      return true;
    }
  }

  pid_t pid_ = -1;
  int fd_ = -1;
  ToolRun run_;
};

inline ToolRun run_tool(const std::vector<std::string>& args, const std::filesystem::path& home) {
  return ToolProcess(args, home).finish();
}

}  // namespace quillon::ota_tool::test_support
