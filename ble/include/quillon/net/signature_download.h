// Fetches a firmware image's detached signature (the .minisig published
// beside it) into memory, through the same HttpClient as the image, so the
// same TLS rules hold: verified certificate and host, no redirect from
// https:// to http://. A signature file is small; a body larger than the
// cap is cut off and refused, so a hostile server cannot fill memory.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "quillon/integrity/minisign_signature.h"
#include "quillon/net/http_client.h"

namespace quillon {

// The signature's URL for an image URL: ".minisig" added to the path, the
// query kept and the fragment dropped
// ("https://h/fw.bin?t=1" gives "https://h/fw.bin.minisig?t=1").
std::string signature_url_for(std::string_view image_url);

class SignatureDownload final : public HttpConnectionDelegate {
 public:
  enum class Status {
    Received,  // `text` holds the body
    Missing,   // the server has none (404 or 410)
    TooLarge,  // the body is larger than the cap
    Failed,    // any other failure; `why` says which
  };
  struct Result {
    Status status = Status::Failed;
    std::string text;
    std::string why;
  };

  // `loop` is run by the calling thread; `done` is called once, from a task
  // on it, unless this object is destroyed first (which cancels).
  SignatureDownload(HttpClient& client, RunLoop& loop, std::size_t cap = kMaxMinisignSignatureBytes);
  ~SignatureDownload() override;

  void start(const std::string& url, std::function<void(Result)> done);

  // HttpConnectionDelegate.
  void connection_didReceiveResponse(HttpConnection& connection, const HttpResponse& response) override;
  void connection_didReceiveData(HttpConnection& connection, std::span<const std::uint8_t> data) override;
  void connectionDidFinishLoading(HttpConnection& connection) override;
  void connection_didFailWithError(HttpConnection& connection, const std::string& reason) override;

 private:
  void settle(Status status, std::string why = {});

  HttpClient& client_;
  RunLoop& loop_;
  const std::size_t cap_;
  std::unique_ptr<HttpConnection> connection_;
  std::function<void(Result)> done_;
  std::string body_;
};

}  // namespace quillon
