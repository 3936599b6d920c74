#include "quillon/net/curl_http_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include "loopback_http_server.h"
#include "quillon/platform/run_loop.h"
#include "scratch_directory.h"

namespace quillon {
namespace {

using namespace std::chrono_literals;

// Records a connection's events; consecutive body parts count as one "data"
// in the summary, so the order can be compared as one string.
class Recorder final : public HttpConnectionDelegate {
 public:
  void connection_didReceiveResponse(HttpConnection& c, const HttpResponse& r) override {
    note("response");
    response = r;
    if (on_response) on_response(c);
  }
  void connection_didReceiveData(HttpConnection& c, std::span<const std::uint8_t> data) override {
    note("data");
    body.insert(body.end(), data.begin(), data.end());
    if (on_data) on_data(c);
  }
  void connectionDidFinishLoading(HttpConnection&) override {
    note("finish");
    ended = true;
  }
  void connection_didFailWithError(HttpConnection&, const std::string& reason) override {
    note("failure");
    failure = reason;
    ended = true;
  }

  std::string summary;
  HttpResponse response;
  std::vector<std::uint8_t> body;
  std::string failure;
  bool ended = false;
  bool off_loop_thread = false;
  std::function<void(HttpConnection&)> on_response;
  std::function<void(HttpConnection&)> on_data;

 private:
  void note(const char* event) {
    if (std::this_thread::get_id() != loop_thread_) off_loop_thread = true;
    const std::string word(event);
    if (word == "data" && summary.ends_with("data")) return;
    summary += summary.empty() ? word : " " + word;
  }
  std::thread::id loop_thread_ = std::this_thread::get_id();
};

class CurlHttpClientTest : public ::testing::Test {
 protected:
  CurlHttpClientTest() : server_(QUILLON_TEST_HTTP_SERVER, scratch_.path() / "requests.log") {}

  // Downloads `url` with the Range header the controller sends, running the
  // loop on this thread until the connection ends.
  void download(const std::string& url, Recorder& recorder, CurlHttpClient& client) {
    connection_ = client.get(url, {{"Range", "bytes=0-"}}, recorder, loop_);
    ASSERT_TRUE(loop_.run_until([&] { return recorder.ended; }, 30s)) << url;
    EXPECT_FALSE(recorder.off_loop_thread);
  }
  void download(const std::string& url, Recorder& recorder) { download(url, recorder, client_); }

  test_support::ScratchDirectory scratch_;
  test_support::LoopbackHttpServer server_;
  RunLoop loop_;
  CurlHttpClient client_;
  std::unique_ptr<HttpConnection> connection_;
};

TEST_F(CurlHttpClientTest, ResponseThenBodyThenFinishOnTheLoopThread) {
  struct Case {
    const char* query;
    int status;
    std::int64_t expected_length;
    std::size_t size;
  };
  const Case cases[] = {
      {"size=100000", 200, 100000, 100000},
      {"size=100000&status=206", 206, 100000, 100000},
      {"size=100000&length=chunked", 200, -1, 100000},
      {"size=100000&length=none", 200, -1, 100000},
      {"size=0", 200, 0, 0},
      {"size=0&length=chunked", 200, -1, 0},
      {"size=300&status=404", 404, 300, 300},
      {"size=20&status=500", 500, 20, 20},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.query);
    Recorder recorder;
    download(server_.url(std::string("/fw.bin?") + c.query), recorder);
    EXPECT_EQ(recorder.summary, c.size == 0 ? "response finish" : "response data finish");
    EXPECT_EQ(recorder.response.status_code, c.status);
    EXPECT_EQ(recorder.response.expected_content_length, c.expected_length);
    EXPECT_EQ(recorder.body.size(), c.size);
    EXPECT_TRUE(test_support::is_served_body(recorder.body));
    EXPECT_EQ(server_.requests().back(), std::string("/fw.bin?") + c.query + " range=bytes=0-");
  }
}

TEST_F(CurlHttpClientTest, SuggestedNameComesFromTheFinalResponse) {
  struct Case {
    const char* path;
    const char* expected;
  };
  const Case cases[] = {
      {"/x.bin?cd=attachment%3B%20filename%3D%22fw.bin%22", "fw.bin"},
      {"/x.bin?cd=attachment%3B%20filename%3D%22..%2F..%2Fevil%22", "evil"},
      {"/x.bin?cd=attachment%3B%20filename%3D%22%2Fetc%2Fpasswd%22", "passwd"},
      {"/images/app.bin?size=3", "app.bin"},
      {"/images/", "firmware.bin"},
      {"/old.bin?redirect=/files/next.bin%3Fsize%3D5", "next.bin"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    Recorder recorder;
    download(server_.url(c.path), recorder);
    EXPECT_EQ(recorder.summary.substr(0, 8), "response");
    EXPECT_EQ(recorder.response.suggested_filename, c.expected);
  }
}

TEST_F(CurlHttpClientTest, FailuresEndInOneFailureCallAndNoFinish) {
  struct Case {
    std::string url;
    const char* expected_summary;
  };
  const Case cases[] = {
      {"http://127.0.0.1:" + std::to_string(test_support::refused_port()) + "/fw.bin", "failure"},
      {server_.url("/fw.bin?size=100000&cut=50000"), "response data failure"},
      {server_.url("/fw.bin?size=100000&cut=50000&length=chunked"), "response data failure"},
      {"file:///etc/passwd", "failure"},
      {"ftp://127.0.0.1/fw.bin", "failure"},
      {"not a url at all", "failure"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url);
    Recorder recorder;
    download(c.url, recorder);
    EXPECT_EQ(recorder.summary, c.expected_summary);
    EXPECT_FALSE(recorder.failure.empty());
    EXPECT_LT(recorder.body.size(), 100000u);
  }
}

TEST_F(CurlHttpClientTest, SilentServerEndsInFailure) {
  CurlHttpClient::Options options;
  options.low_speed_time = 1s;
  CurlHttpClient impatient(options);
  Recorder recorder;
  download(server_.url("/fw.bin?size=1000&hold=1"), recorder, impatient);
  EXPECT_EQ(recorder.summary, "response data failure");
  EXPECT_EQ(recorder.body.size(), 1u);
}

TEST_F(CurlHttpClientTest, CancelDropsEventsAlreadyQueued) {
  Recorder recorder;
  connection_ = client_.get(server_.url("/fw.bin?size=1000"), {}, recorder, loop_);
  // Without running the loop, wait until response, body and finish are queued.
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (loop_.pending() < 3 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(5ms);
  ASSERT_GE(loop_.pending(), 3u);
  connection_->cancel();
  loop_.run_until_idle();
  EXPECT_EQ(recorder.summary, "");
  connection_.reset();
  loop_.run_until_idle();
  EXPECT_EQ(recorder.summary, "");
}

TEST_F(CurlHttpClientTest, DestroyingInsideACallbackEndsDelivery) {
  for (const char* query : {"size=1000000", "size=1000000&hold=1000"}) {
    SCOPED_TRACE(query);
    Recorder recorder;
    recorder.on_data = [&](HttpConnection&) { connection_.reset(); };
    connection_ = client_.get(server_.url(std::string("/fw.bin?") + query), {}, recorder, loop_);
    ASSERT_TRUE(loop_.run_until([&] { return connection_ == nullptr; }, 30s));
    // Whatever was still queued must stay silent.
    loop_.run_for(200ms);
    EXPECT_EQ(recorder.summary, "response data");
  }
}

TEST_F(CurlHttpClientTest, BytesWaitingOnTheLoopStayBoundedForALargeBody) {
  CurlHttpClient::Options options;
  options.max_bytes_in_flight = 256 * 1024;
  CurlHttpClient client(options);
  constexpr std::size_t kSize = 32u << 20;
  Recorder recorder;
  connection_ = client.get(server_.url("/big.bin?size=" + std::to_string(kSize)), {}, recorder, loop_);
  // Let the worker run ahead of a loop that is not being run.
  std::this_thread::sleep_for(200ms);
  ASSERT_TRUE(loop_.run_until([&] { return recorder.ended; }, 120s));
  EXPECT_EQ(recorder.summary, "response data finish");
  EXPECT_EQ(recorder.body.size(), kSize);
  EXPECT_TRUE(test_support::is_served_body(recorder.body));
  EXPECT_GT(client.peak_bytes_in_flight(), 0u);
  EXPECT_LE(client.peak_bytes_in_flight(), options.max_bytes_in_flight + CurlHttpClient::kReceivePieceBytes);
}

}  // namespace
}  // namespace quillon
