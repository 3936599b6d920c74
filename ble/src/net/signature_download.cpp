#include "quillon/net/signature_download.h"

#include "quillon/platform/run_loop.h"

namespace quillon {

std::string signature_url_for(std::string_view image_url) {
  image_url = image_url.substr(0, image_url.find('#'));
  const auto query = image_url.find('?');
  if (query == std::string_view::npos) return std::string(image_url) + ".minisig";
  return std::string(image_url.substr(0, query)) + ".minisig" + std::string(image_url.substr(query));
}

SignatureDownload::SignatureDownload(HttpClient& client, RunLoop& loop, std::size_t cap)
    : client_(client), loop_(loop), cap_(cap) {}

SignatureDownload::~SignatureDownload() {
  if (connection_) connection_->cancel();
}

void SignatureDownload::start(const std::string& url, std::function<void(Result)> done) {
  done_ = std::move(done);
  body_.clear();
  connection_ = client_.get(url, {}, *this, loop_);
}

void SignatureDownload::connection_didReceiveResponse(HttpConnection&, const HttpResponse& response) {
  if (response.status_code == 404 || response.status_code == 410) {
    settle(Status::Missing, "HTTP status " + std::to_string(response.status_code));
  } else if (response.status_code != 200) {
    settle(Status::Failed, "HTTP status " + std::to_string(response.status_code));
  } else if (response.expected_content_length > static_cast<std::int64_t>(cap_)) {
    settle(Status::TooLarge, "larger than " + std::to_string(cap_) + " bytes");
  }
}

void SignatureDownload::connection_didReceiveData(HttpConnection&, std::span<const std::uint8_t> data) {
  if (body_.size() + data.size() > cap_) {
    settle(Status::TooLarge, "larger than " + std::to_string(cap_) + " bytes");
    return;
  }
  body_.append(reinterpret_cast<const char*>(data.data()), data.size());
}

void SignatureDownload::connectionDidFinishLoading(HttpConnection&) { settle(Status::Received); }

void SignatureDownload::connection_didFailWithError(HttpConnection&, const std::string& reason) {
  settle(Status::Failed, reason);
}

void SignatureDownload::settle(Status status, std::string why) {
  if (!done_) return;
  // Nothing more is delivered once cancelled, so settling happens once.
  connection_->cancel();
  Result result{status, status == Status::Received ? std::move(body_) : std::string(), std::move(why)};
  loop_.post([done = std::move(done_), result = std::move(result)]() mutable { done(std::move(result)); });
  done_ = nullptr;
}

}  // namespace quillon
