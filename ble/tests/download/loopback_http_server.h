// Starts http_test_server.py on 127.0.0.1 (port chosen by the system) for
// the lifetime of the object, and reads back what it was asked. Header-only
// so the download benchmark can use it too.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "../support/child_process.h"

namespace quillon::test_support {

class LoopbackHttpServer {
 public:
  // A certificate and its key (PEM files) make the server speak HTTPS.
  struct Tls {
    std::filesystem::path certificate;
    std::filesystem::path key;
  };

  // `script` is http_test_server.py; `log_path` receives one line per request.
  // With `files`, a request for a file in that folder gets it (see the script).
  LoopbackHttpServer(const std::filesystem::path& script, const std::filesystem::path& log_path,
                     std::optional<Tls> tls = std::nullopt, std::optional<std::filesystem::path> files = std::nullopt)
      : log_path_(log_path), scheme_(tls ? "https" : "http") {
    std::vector<std::string> args{"/usr/bin/python3", script.string()};
    if (files) {
      args.push_back("--files");
      args.push_back(files->string());
    }
    args.push_back(log_path.string());
    if (tls) {
      args.push_back(tls->certificate.string());
      args.push_back(tls->key.string());
    }
    server_ = std::make_unique<ChildProcess>(args);
    // It prints the port it listens on, then nothing more.
    const std::string line = server_->readLine();
    port_ = line.empty() ? 0 : std::stoi(line);
    if (port_ == 0) throw std::runtime_error("the test HTTP server did not start");
  }

  LoopbackHttpServer(const LoopbackHttpServer&) = delete;
  LoopbackHttpServer& operator=(const LoopbackHttpServer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>" (or https://) followed by `path_and_query`.
  std::string url(const std::string& path_and_query) const {
    return scheme_ + "://127.0.0.1:" + std::to_string(port_) + path_and_query;
  }

  // The requests seen so far, as "<path and query> range=<Range or ->".
  std::vector<std::string> requests() const {
    std::vector<std::string> lines;
    std::ifstream in(log_path_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

 private:
  std::filesystem::path log_path_;
  std::string scheme_;
  // Ended (SIGTERM) with the server.
  std::unique_ptr<ChildProcess> server_;
  int port_ = 0;
};

// A loopback port nothing listens on: bound by this process, then closed.
inline int refused_port() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

// Byte `offset` of every body the server sends.
inline std::uint8_t served_byte(std::uint64_t offset) { return static_cast<std::uint8_t>(offset % 251); }

// Whether `bytes` is the server's body from its first byte.
inline bool is_served_body(const std::vector<std::uint8_t>& bytes) {
  for (std::size_t i = 0; i < bytes.size(); ++i)
    if (bytes[i] != served_byte(i)) return false;
  return true;
}

}  // namespace quillon::test_support
