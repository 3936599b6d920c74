#include "quillon/net/curl_http_client.h"

#include <curl/curl.h>

#include <condition_variable>
#include <cstring>
#include <optional>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "quillon/net/http_response_head.h"
#include "quillon/net/suggested_file_name.h"
#include "quillon/platform/run_loop.h"

namespace quillon {
namespace {

std::once_flag g_curl_global_init;

// What the connection, its worker and the events it has posted share. The
// events hold it by shared_ptr, so they may outlive the connection: `alive`
// tells them whether they may still reach the delegate.
struct SharedState {
  // Written and read on the loop's thread only (cancel and the events both
  // run there), so an event that runs after cancel() sees false. Atomic so
  // that a misuse from another thread is at worst a late event, not a race.
  std::atomic<bool> alive{true};

  std::mutex mutex;
  bool cancelled = false;        // the worker must stop
  bool paused = false;           // the worker paused the transfer for the loop
  std::size_t in_flight = 0;     // body bytes posted and not yet delivered
  CURLM* multi = nullptr;        // set while the worker can be woken
  // The delegate has seen the response (and may have given a sink): no body
  // byte goes anywhere before that.
  bool response_handled = false;
  std::condition_variable response_seen;
  std::shared_ptr<HttpBodySink> sink;  // set by write_body_to
  std::uint64_t written_unreported = 0;  // written to the sink, not yet reported

  // Wakes the worker out of its poll; caller holds `mutex`.
  void wake_worker_locked() {
    if (multi != nullptr) curl_multi_wakeup(multi);
  }
};

class CurlHttpConnection final : public HttpConnection {
 public:
  CurlHttpConnection(const std::string& url, const HttpHeaders& headers,
                     HttpConnectionDelegate& delegate, RunLoop& loop,
                     const CurlHttpClient::Options& options,
                     std::shared_ptr<CurlHttpClient::Stats> stats)
      : url_(url),
        delegate_(&delegate),
        loop_(loop),
        options_(options),
        stats_(std::move(stats)),
        state_(std::make_shared<SharedState>()),
        hold_body_for_response_(delegate.wants_body_sink()) {
    for (const auto& [name, value] : headers) header_lines_.push_back(name + ": " + value);
    worker_ = std::thread([this] { run_worker(); });
  }

  ~CurlHttpConnection() override {
    cancel();
    // The worker never waits for the loop, and cancel() wakes it from its
    // poll, so this join is short even while the loop is not running.
    if (worker_.joinable()) worker_.join();
  }

  void cancel() override {
    state_->alive = false;
    std::lock_guard lock(state_->mutex);
    state_->cancelled = true;
    state_->wake_worker_locked();
    state_->response_seen.notify_all();
  }

  bool write_body_to(std::shared_ptr<HttpBodySink> sink) override {
    std::lock_guard lock(state_->mutex);
    state_->sink = std::move(sink);
    return true;
  }

 private:
  // ---- worker thread ----

  void run_worker() {
    CURL* easy = curl_easy_init();
    CURLM* multi = curl_multi_init();
    if (easy == nullptr || multi == nullptr) {
      if (easy != nullptr) curl_easy_cleanup(easy);
      if (multi != nullptr) curl_multi_cleanup(multi);
      post_failure("cannot create an HTTP transfer");
      return;
    }
    easy_ = easy;
    curl_slist* header_list = nullptr;
    for (const auto& line : header_lines_) header_list = curl_slist_append(header_list, line.c_str());

    error_buffer_[0] = '\0';
    curl_easy_setopt(easy, CURLOPT_URL, url_.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, header_list);
    // Only the web: a URL must not make the library read local files or
    // speak other protocols, neither directly nor through a redirect.
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    // An https download never continues over plain HTTP.
    const bool secure = curl_strnequal(url_.c_str(), "https://", 8) != 0;
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, secure ? "https" : "http,https");
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!options_.ca_file.empty()) curl_easy_setopt(easy, CURLOPT_CAINFO, options_.ca_file.c_str());
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, options_.max_redirects);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);  // several threads use libcurl at once
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(options_.connect_timeout.count()));
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, options_.low_speed_limit);
    curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, static_cast<long>(options_.low_speed_time.count()));
    curl_easy_setopt(easy, CURLOPT_USERAGENT, "QuillonLib");
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, static_cast<long>(CurlHttpClient::kReceivePieceBytes));
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, error_buffer_);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &CurlHttpConnection::on_header);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &CurlHttpConnection::on_body);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    curl_multi_add_handle(multi, easy);

    {
      std::lock_guard lock(state_->mutex);
      state_->multi = multi;
    }

    bool done = false;
    CURLcode result = CURLE_OK;
    for (;;) {
      bool resume = false;
      {
        std::lock_guard lock(state_->mutex);
        if (state_->cancelled) break;
        if (state_->paused && state_->in_flight <= options_.max_bytes_in_flight / 2) {
          state_->paused = false;
          resume = true;
        }
      }
      if (resume) curl_easy_pause(easy, CURLPAUSE_CONT);
      int running = 0;
      curl_multi_perform(multi, &running);
      int queued = 0;
      while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
        if (message->msg == CURLMSG_DONE) {
          done = true;
          result = message->data.result;
        }
      }
      if (done) break;
      curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
    }

    {
      std::lock_guard lock(state_->mutex);
      state_->multi = nullptr;
    }
    if (done) {
      if (result == CURLE_OK) {
        post_response_once();
        post_finish();
      } else if (sink_failed_) {
        post_failure("cannot write the body where it was to go");
      } else {
        std::string reason = error_buffer_[0] != '\0' ? std::string(error_buffer_)
                                                       : std::string(curl_easy_strerror(result));
        // The start URL was https, so only a redirect can have named a
        // protocol that is not allowed.
        if (secure && result == CURLE_UNSUPPORTED_PROTOCOL) {
          reason = "refused a redirect from https:// to a URL that is not https:// (" + reason + ")";
        }
        post_failure(reason);
      }
    }
    curl_multi_remove_handle(multi, easy);
    curl_easy_cleanup(easy);
    curl_multi_cleanup(multi);
    curl_slist_free_all(header_list);
    easy_ = nullptr;
  }

  static std::size_t on_header(char* buffer, std::size_t size, std::size_t count, void* self) {
    static_cast<CurlHttpConnection*>(self)->head_.take_line(std::string_view(buffer, size * count));
    return size * count;
  }

  static std::size_t on_body(char* buffer, std::size_t size, std::size_t count, void* self) {
    return static_cast<CurlHttpConnection*>(self)->take_body(buffer, size * count);
  }

  std::size_t take_body(const char* bytes, std::size_t length) {
    if (!response_waited_ && hold_body_for_response_) {
      post_response_once();
      // The delegate decides where the body goes when it sees the response.
      std::unique_lock lock(state_->mutex);
      state_->response_seen.wait(lock, [&] { return state_->response_handled || state_->cancelled; });
      if (state_->cancelled) return 0;
      sink_ = state_->sink;
      response_waited_ = true;
    }
    if (sink_) return write_to_sink(bytes, length);
    {
      std::lock_guard lock(state_->mutex);
      if (state_->cancelled) return 0;  // makes libcurl abort the transfer
      if (state_->in_flight > 0 && state_->in_flight + length > options_.max_bytes_in_flight) {
        // libcurl keeps these bytes and offers them again after the resume.
        state_->paused = true;
        return CURL_WRITEFUNC_PAUSE;
      }
      state_->in_flight += length;
      auto peak = stats_->peak_bytes_in_flight.load();
      while (state_->in_flight > peak &&
             !stats_->peak_bytes_in_flight.compare_exchange_weak(peak, state_->in_flight)) {
      }
    }
    post_response_once();
    post_data(std::vector<std::uint8_t>(bytes, bytes + length));
    return length;
  }

  // Straight from libcurl's buffer into the sink; the loop hears only the
  // count, and only once for all bytes written while a report was pending.
  std::size_t write_to_sink(const char* bytes, std::size_t length) {
    if (!sink_->write(std::span(reinterpret_cast<const std::uint8_t*>(bytes), length))) {
      sink_failed_ = true;
      return 0;  // makes libcurl abort the transfer
    }
    bool post = false;
    {
      std::lock_guard lock(state_->mutex);
      if (state_->cancelled) return 0;
      post = state_->written_unreported == 0;
      state_->written_unreported += length;
    }
    if (post) {
      loop_.post([state = state_, delegate = delegate_, connection = this] {
        std::uint64_t written = 0;
        {
          std::lock_guard lock(state->mutex);
          written = std::exchange(state->written_unreported, 0);
        }
        if (state->alive && written > 0) delegate->connection_didWriteData(*connection, written);
      });
    }
    return length;
  }

  void post_response_once() {
    if (response_posted_) return;
    response_posted_ = true;
    HttpResponse response;
    long status = 0;
    curl_easy_getinfo(easy_, CURLINFO_RESPONSE_CODE, &status);
    response.status_code = static_cast<int>(status);
    curl_off_t length = -1;
    if (curl_easy_getinfo(easy_, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK) length = -1;
    response.expected_content_length = length < 0 ? -1 : static_cast<std::int64_t>(length);
    const char* final_url = nullptr;
    curl_easy_getinfo(easy_, CURLINFO_EFFECTIVE_URL, &final_url);
    response.content_range = head_.content_range();
    response.suggested_filename = suggested_file_name(
        head_.content_disposition() ? std::optional<std::string_view>(*head_.content_disposition()) : std::nullopt,
        final_url != nullptr ? std::string_view(final_url) : std::string_view(url_));
    loop_.post([state = state_, delegate = delegate_, connection = this, response] {
      if (state->alive) delegate->connection_didReceiveResponse(*connection, response);
      std::lock_guard lock(state->mutex);
      state->response_handled = true;
      state->response_seen.notify_all();
    });
  }

  void post_data(std::vector<std::uint8_t> bytes) {
    loop_.post([state = state_, delegate = delegate_, connection = this, bytes = std::move(bytes)] {
      // The connection may be destroyed inside the delegate's call; only the
      // shared state is touched afterwards.
      if (state->alive) delegate->connection_didReceiveData(*connection, bytes);
      std::lock_guard lock(state->mutex);
      state->in_flight -= bytes.size();
      if (state->paused) state->wake_worker_locked();
    });
  }

  void post_finish() {
    loop_.post([state = state_, delegate = delegate_, connection = this] {
      if (state->alive) delegate->connectionDidFinishLoading(*connection);
    });
  }

  void post_failure(std::string reason) {
    loop_.post([state = state_, delegate = delegate_, connection = this, reason = std::move(reason)] {
      if (state->alive) delegate->connection_didFailWithError(*connection, reason);
    });
  }

  const std::string url_;
  std::vector<std::string> header_lines_;
  HttpConnectionDelegate* const delegate_;
  RunLoop& loop_;
  const CurlHttpClient::Options options_;
  const std::shared_ptr<CurlHttpClient::Stats> stats_;
  const std::shared_ptr<SharedState> state_;
  // The delegate may hand over a sink when it sees the response.
  const bool hold_body_for_response_;

  // Worker thread only.
  CURL* easy_ = nullptr;
  char error_buffer_[CURL_ERROR_SIZE] = {};
  HttpResponseHead head_;
  bool response_posted_ = false;
  bool response_waited_ = false;
  std::shared_ptr<HttpBodySink> sink_;
  bool sink_failed_ = false;

  std::thread worker_;  // started at the end of the constructor
};

}  // namespace

CurlHttpClient::CurlHttpClient() : CurlHttpClient(Options{}) {}

CurlHttpClient::CurlHttpClient(Options options)
    : options_(options), stats_(std::make_shared<Stats>()) {
  // libcurl's global set-up is not thread-safe; do it once, before any
  // worker exists.
  std::call_once(g_curl_global_init, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

std::unique_ptr<HttpConnection> CurlHttpClient::get(const std::string& url, const HttpHeaders& headers,
                                                    HttpConnectionDelegate& delegate, RunLoop& loop) {
  return std::make_unique<CurlHttpConnection>(url, headers, delegate, loop, options_, stats_);
}

}  // namespace quillon
