// The HTTP client on libcurl: one worker thread per connection drives a
// transfer of its own; its events are posted to the run loop that started
// the download, so they arrive in order on that loop's thread.
//
// Memory stays flat whatever the body's size: the worker hands body bytes
// to the loop only while fewer than `max_bytes_in_flight` are waiting there,
// and otherwise pauses the transfer (libcurl then stops reading the socket)
// until the loop has taken them.
//
// Redirects are followed (up to `max_redirects`, http and https only), so
// the response and the suggested file name are those of the final location.
// Only http:// and https:// URLs are fetched; anything else fails.
//
// HTTPS stays HTTPS: a download that starts at an https:// URL follows
// redirects only to https:// URLs, so nobody on the path can swap the image
// by redirecting to plain HTTP. The server's certificate and host name are
// always verified, against the system's CAs or `Options::ca_file`.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "quillon/net/http_client.h"

namespace quillon {

class CurlHttpClient final : public HttpClient {
 public:
  struct Options {
    // A server that does not accept the connection within this time fails it.
    std::chrono::milliseconds connect_timeout{15000};
    // A transfer that moves fewer than low_speed_limit bytes per second for
    // low_speed_time fails, so a server that goes silent ends the download.
    // A transfer paused because the loop is behind does not count as slow.
    long low_speed_limit = 1;
    std::chrono::seconds low_speed_time{30};
    std::size_t max_bytes_in_flight = 1 << 20;
    long max_redirects = 10;
    // A PEM file of the CA certificates to trust for https:// instead of
    // the system's (a private CA); empty for the system's.
    std::string ca_file;
  };

  // libcurl's receive buffer, and so the largest body part delivered at
  // once. Larger pieces mean fewer hops to the loop and fewer file writes.
  static constexpr std::size_t kReceivePieceBytes = 64 * 1024;

  CurlHttpClient();
  explicit CurlHttpClient(Options options);

  // See HttpClient::get. Thread-safe; each connection has its own worker.
  std::unique_ptr<HttpConnection> get(const std::string& url, const HttpHeaders& headers,
                                      HttpConnectionDelegate& delegate, RunLoop& loop) override;

  // The most body bytes that were ever waiting on a loop at once, over all
  // connections of this client: bounded by max_bytes_in_flight plus one
  // piece (kReceivePieceBytes), however long the body. Thread-safe.
  std::size_t peak_bytes_in_flight() const { return stats_->peak_bytes_in_flight.load(); }

  struct Stats {
    std::atomic<std::size_t> peak_bytes_in_flight{0};
  };

 private:
  Options options_;
  std::shared_ptr<Stats> stats_;
};

}  // namespace quillon
