// One program the tests start and talk to: the built tools, the BlueZ
// stand-in, a private dbus-daemon, a guest's module peer. Its standard output
// comes back on a pipe, read as lines or as a whole; its standard error goes
// with the output, into a file, or stays the test's. A child still running
// when its ChildProcess goes is signalled (or waited for), and one whose test
// program dies is sent SIGTERM by the kernel, so nothing is left running.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace quillon::test_support {

struct ChildOptions {
  // "NAME=value" entries that replace NAME in the environment it inherits.
  std::vector<std::string> environment = {};
  // Standard error on the output pipe too (false: see errors_to).
  bool errors_with_output = false;
  // Standard error into this file, replaced (neither: the test's own).
  std::optional<std::filesystem::path> errors_to = std::nullopt;
  // What a child still running gets when its ChildProcess goes: a signal,
  // or 0 to wait for it to end by itself.
  int stop_signal = SIGTERM;
};

// `program` followed by `args`: a command line for ChildProcess.
inline std::vector<std::string> commandLine(std::string program, const std::vector<std::string>& args) {
  std::vector<std::string> argv{std::move(program)};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

class ChildProcess {
 public:
  // Starts `argv` (argv[0] a path, or a name looked up on PATH), its
  // standard input /dev/null. Throws std::runtime_error when it cannot fork;
  // a program that cannot be run ends with 127.
  explicit ChildProcess(const std::vector<std::string>& argv, ChildOptions options = {})
      : stop_signal_(options.stop_signal) {
    std::vector<std::string> env_text;
    for (char** e = environ; *e; ++e) {
      const std::string entry(*e);
      bool replaced = false;
      for (const auto& given : options.environment) {
        const auto name = given.find('=');
        replaced = replaced || (name != std::string::npos && entry.compare(0, name + 1, given, 0, name + 1) == 0);
      }
      if (!replaced) env_text.push_back(entry);
    }
    env_text.insert(env_text.end(), options.environment.begin(), options.environment.end());
    // Made before fork(): the child of a threaded test program may only
    // call what is safe after fork.
    std::vector<char*> envp;
    for (auto& e : env_text) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::vector<std::string> argv_text = argv;
    std::vector<char*> args;
    for (auto& a : argv_text) args.push_back(a.data());
    args.push_back(nullptr);
    const std::string errors_path = options.errors_to ? options.errors_to->string() : std::string();

    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_ = fork();
    if (pid_ < 0) throw std::runtime_error("cannot start " + argv.at(0));
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGTERM);
      const int nothing = open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (nothing >= 0) dup2(nothing, STDIN_FILENO);
      dup2(fds[1], STDOUT_FILENO);
      if (options.errors_with_output) dup2(fds[1], STDERR_FILENO);
      if (!errors_path.empty()) {
        const int log = open(errors_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (log >= 0) dup2(log, STDERR_FILENO);
      }
      execvpe(args[0], args.data(), envp.data());
      _exit(127);
    }
    close(fds[1]);
    fd_ = fds[0];
  }
  ~ChildProcess() {
    if (pid_ > 0 && stop_signal_ != 0) kill(pid_, stop_signal_);
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
    if (fd_ >= 0) close(fd_);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // The next line of its output, without the newline; nothing when the
  // output ends first, or no line comes within `timeout_ms` (-1: no limit,
  // for children that end by themselves).
  std::optional<std::string> nextLine(int timeout_ms = -1) {
    for (;;) {
      if (const auto end = output_.find('\n', taken_); end != std::string::npos) {
        std::string line = output_.substr(taken_, end - taken_);
        taken_ = end + 1;
        return line;
      }
      if (!readSome(timeout_ms)) return std::nullopt;
    }
  }
  // The next line, or "" when the output ends.
  std::string readLine() { return nextLine().value_or(std::string()); }
  // Reads output until `text` has appeared; false if the output ended first.
  bool waitFor(const std::string& text) {
    while (output_.find(text) == std::string::npos) {
      if (!readSome(-1)) return false;
    }
    return true;
  }
  // Everything it has printed so far.
  const std::string& output() const { return output_; }

  void signal(int number) {
    if (pid_ > 0) kill(pid_, number);
  }
  // Reads the rest of the output and waits for it to end; its exit status
  // (128 + the signal's number when a signal ended it).
  int finish() {
    while (readSome(-1)) {
    }
    int status = 0;
    if (pid_ > 0) waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  // Ends it now (its stop signal, else SIGTERM) and waits for it.
  void stop() {
    if (pid_ > 0) {
      kill(pid_, stop_signal_ != 0 ? stop_signal_ : SIGTERM);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

 private:
  bool readSome(int timeout_ms) {
    if (fd_ < 0) return false;
    pollfd ready{fd_, POLLIN, 0};
    if (timeout_ms >= 0 && poll(&ready, 1, timeout_ms) <= 0) return false;
    char buffer[4096];
    for (;;) {
      const ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      output_.append(buffer, static_cast<std::size_t>(n));
      return true;
    }
  }

  pid_t pid_ = -1;
  int fd_ = -1;
  int stop_signal_ = SIGTERM;
  std::string output_;
  std::size_t taken_ = 0;  // where the next line starts
};

}  // namespace quillon::test_support
