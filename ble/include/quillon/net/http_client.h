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

// Where a connection may put the body itself, on its own thread, instead of
// handing copies of it to the delegate through the run loop: typically the
// file the delegate opened for it. One call at a time, in body order.
class HttpBodySink {
 public:
  virtual ~HttpBodySink() = default;
  // Takes all of `bytes`; false if it cannot, which fails the download.
  virtual bool write(std::span<const std::uint8_t> bytes) = 0;
};

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
  // True if this delegate may give the connection a body sink (see
  // HttpConnection::write_body_to): the connection then holds the body back
  // until connection_didReceiveResponse has returned. Asked once, when the
  // connection starts.
  virtual bool wants_body_sink() const { return false; }
  // The next `length` bytes of the body went into the sink given to
  // write_body_to (in place of connection_didReceiveData for them).
  virtual void connection_didWriteData(HttpConnection& /*connection*/, std::uint64_t /*length*/) {}
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

  // Asks the connection to put every body byte into `sink` itself, on its
  // own thread, and to report connection_didWriteData: one copy fewer, and
  // no run-loop hop per piece. Only from inside connection_didReceiveResponse
  // of a delegate that wants_body_sink(). False if this connection cannot;
  // the body then comes through connection_didReceiveData.
  virtual bool write_body_to(std::shared_ptr<HttpBodySink> /*sink*/) { return false; }
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
