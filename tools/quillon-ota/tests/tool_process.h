// Runs the built quillon-ota as a child process with its own configuration
// and cache folders, and collects what it printed (standard output and
// error together) and its exit status.
#pragma once

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

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

// `home` holds the run's config/ and cache/ (XDG_CONFIG_HOME, XDG_CACHE_HOME).
inline ToolRun run_tool(const std::vector<std::string>& args, const std::filesystem::path& home) {
  std::vector<std::string> env_text;
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "XDG_CONFIG_HOME=", 16) != 0 && std::strncmp(*e, "XDG_CACHE_HOME=", 15) != 0) env_text.push_back(*e);
  }
  env_text.push_back("XDG_CONFIG_HOME=" + (home / "config").string());
  env_text.push_back("XDG_CACHE_HOME=" + (home / "cache").string());
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
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (spawned != 0) {
    close(fds[0]);
    throw std::runtime_error("cannot start " + argv_text[0]);
  }
  ToolRun run;
  char buffer[4096];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    run.output.append(buffer, static_cast<std::size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return run;
}

}  // namespace quillon::ota_tool::test_support
