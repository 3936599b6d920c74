// The HTTP client the firmware download runs on, shaped like the platform's
// URL connections: a GET starts at once and reports to one delegate, on the
// run loop of the thread that started it, in the order response, body parts
// (any number), then exactly one of finish or failure.
//
// The interface keeps the controller free of any particular HTTP library;
// the real client is libcurl (curl_http_client.h), tests may put a scripted
// one in its place.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace quillon {

class RunLoop;

// Extra request headers, sent as "name: value" in the order given.
using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

// What the delegate learns of the final response (after any redirect).
struct HttpResponse {
  int status_code = 0;
  // The body length the server announced, or -1 when it announced none.
  std::int64_t expected_content_length = -1;
  // A plain, safe base name for the body (see suggested_file_name.h): never
  // empty, never a path.
  std::string suggested_filename;
  // The Content-Range header's value, if the response had one.
  std::optional<std::string> content_range;
};

class HttpConnection;

// Receives one connection's events. Every call runs on the thread that runs
// the connection's run loop. A delegate may cancel or destroy the connection
// from inside any of these calls; nothing is delivered after that.
class HttpConnectionDelegate {
 public:
  virtual ~HttpConnectionDelegate() = default;

  // The response head has arrived; comes once, before any body bytes.
  virtual void connection_didReceiveResponse(HttpConnection& connection,
                                             const HttpResponse& response) = 0;
  // The next bytes of the body. Valid only for the duration of the call.
  virtual void connection_didReceiveData(HttpConnection& connection,
                                         std::span<const std::uint8_t> data) = 0;
  // The whole body has arrived. The last call of a successful download.
  virtual void connectionDidFinishLoading(HttpConnection& connection) = 0;
  // The download failed (no such host, refused, time-out, body cut short,
  // unsupported URL ...); `reason` says why in words. The last call of a
  // failed download; a response may or may not have come before it.
  virtual void connection_didFailWithError(HttpConnection& connection,
                                           const std::string& reason) = 0;
};

// One running download. Destroying it cancels it.
class HttpConnection {
 public:
  virtual ~HttpConnection() = default;

  // Stops the download. Once this returns, the delegate is never called
  // again for this connection, not even by events that were already queued.
  // Call it on the thread that runs the connection's run loop.
  virtual void cancel() = 0;
};

class HttpClient {
 public:
  virtual ~HttpClient() = default;

  // Starts a GET of `url` with `headers` added. Events go to `delegate`
  // through `loop`, which must be run by the calling thread (the one that
  // will also cancel or destroy the connection). `delegate` and `loop` must
  // outlive the returned connection. Never returns null: a URL that cannot
  // be fetched ends in connection_didFailWithError.
  virtual std::unique_ptr<HttpConnection> get(const std::string& url, const HttpHeaders& headers,
                                              HttpConnectionDelegate& delegate, RunLoop& loop) = 0;
};

}  // namespace quillon
