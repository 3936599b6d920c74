#include "signature_gate.h"

#include <signal.h>

#include <filesystem>
#include <fstream>

#include "expected_digest.h"
#include "verbose_log_sink.h"
#include "terminal_text.h"
#include "quillon/integrity/trusted_keys.h"
#include "quillon/platform/posix_file_image_handle.h"

namespace quillon::ota_tool {
namespace {

// Reads at most one byte more than a signature may have, so that a huge
// file is refused as oversized without being read whole.
std::optional<std::string> read_signature_file(const std::string& path) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(path, error)) return std::nullopt;
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text(kMaxMinisignSignatureBytes + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad()) return std::nullopt;
  text.resize(static_cast<std::size_t>(in.gcount()));
  return text;
}

bool write_text_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out.flush());
}

JsonEvent or_null(const std::optional<std::string>& text) { return text ? JsonEvent(*text) : JsonEvent(nullptr); }

}  // namespace

SignatureGate::SignatureGate(ToolOptions options, std::shared_ptr<RunLoop> queue, TransferView& download,
                             JsonEvents* json)
    : queue_(std::move(queue)), download_(download), json_(json) {
  result_.options = std::move(options);
}

SignatureGate::~SignatureGate() {
  if (prefetch_) prefetch_->cancel();
}

void SignatureGate::say(const std::string& text) {
  if (!json_) download_.message(tools::printable(text).c_str());
}

void SignatureGate::start() {
  const ToolOptions& options = result_.options;
  std::vector<LoadedKey> loaded;
  for (const auto& argument : options.trusted_keys) loaded.push_back(load_trusted_key(argument));
  const auto directory = trusted_key_directory();
  for (auto& key : load_trusted_key_directory(directory)) loaded.push_back(std::move(key));
  for (const auto& key : loaded) {
    // A key that cannot be read is refused rather than skipped: a broken
    // keyring must be mended, not silently narrowed.
    if (!key.key) return refuse("bad_trusted_key", "bad trusted key " + key.source + ": " + key.problem);
    keys_.push_back(*key.key);
  }
  if (keys_.empty()) {
    if (options.require_signature || options.signature) {
      return refuse("no_trusted_key", std::string("no trusted key is configured") +
                                          (options.signature ? " to check --signature against" : "") +
                                          " (--trusted-key, or a *.pub file in " + directory.string() + ")");
    }
    return finish(Outcome::Success);  // nobody asked for signatures: unchanged
  }
  result_.checked = true;

  if (!options.image_is_url) {
    // An image that is not there is reported as such, not as unsigned.
    std::string why_not;
    if (!PosixFileImageHandle::open_for_reading(options.image, &why_not)->is_open()) {
      return finish(Outcome::ImageUnavailable, "cannot open " + options.image + ": " + why_not);
    }
  }
  if (options.signature || !options.image_is_url) {
    const std::string path = options.signature.value_or(options.image + ".minisig");
    const auto text = read_signature_file(path);
    if (!text) {
      return refuse(std::string(signature_failure_name(SignatureFailure::NoSignature)),
                    "no signature: cannot read " + path +
                        (options.signature ? std::string() : " (--signature names another file)"));
    }
    signature_text_ = *text;
  }
  if (!options.image_is_url) {
    if (check(options.image, signature_text_)) finish(Outcome::Success);
    return;
  }

  if (options.sha256) {
    auto digest = expected_digest(*options.sha256, options.image, true);
    if (auto* error = std::get_if<std::string>(&digest)) return finish(Outcome::UsageError, *error);
    expected_ = std::get<Sha256Digest>(digest);
  }
  CurlHttpClient::Options http;
  if (options.ca_file) http.ca_file = *options.ca_file;
  http_ = std::make_unique<CurlHttpClient>(http);
  if (options.signature) {
    signature_downloaded({SignatureDownload::Status::Received, signature_text_, {}});
    return;
  }
  // The signature first: without one, the image need not be downloaded.
  signature_download_ = std::make_unique<SignatureDownload>(*http_, *queue_);
  signature_download_->start(signature_url_for(options.image),
                             [weak = weak_from_this()](SignatureDownload::Result downloaded) {
                               if (auto self = weak.lock()) self->signature_downloaded(std::move(downloaded));
                             });
}

void SignatureGate::signature_downloaded(SignatureDownload::Result downloaded) {
  if (finished_) return;
  const std::string url = result_.options.signature ? *result_.options.signature
                                                    : signature_url_for(result_.options.image);
  switch (downloaded.status) {
    case SignatureDownload::Status::Received: break;
    case SignatureDownload::Status::TooLarge:
      return refuse(std::string(signature_failure_name(SignatureFailure::MalformedSignature)),
                    "malformed signature: " + url + " is " + downloaded.why);
    case SignatureDownload::Status::Missing:
    case SignatureDownload::Status::Failed:
      return refuse(std::string(signature_failure_name(SignatureFailure::NoSignature)),
                    "no signature: cannot download " + url + ": " + downloaded.why);
  }
  signature_text_ = std::move(downloaded.text);
  say("downloading " + result_.options.image);
  prefetch_ = std::make_shared<ImagePrefetch>(queue_, std::make_shared<tools::VerboseLogSink>(result_.options.verbose),
                                              result_.options.ca_file);
  download_started_ = std::chrono::steady_clock::now();
  prefetch_->start(result_.options.image, expected_, [weak = weak_from_this()](ImagePrefetch::Result result) {
    if (auto self = weak.lock()) self->image_downloaded(std::move(result));
  });
  watch_download();
}

void SignatureGate::watch_download() {
  queue_->post_after(std::chrono::milliseconds(100), [weak = weak_from_this()] {
    auto self = weak.lock();
    if (!self || self->finished_ || !self->prefetch_) return;
    const std::int64_t bytes = self->prefetch_->bytes();
    const std::int64_t total = self->prefetch_->total();
    if (!self->download_shown_ && (bytes > 0 || total > 0)) {
      self->download_shown_ = true;
      self->download_.begin(total, std::chrono::steady_clock::now() - self->download_started_);
    }
    if (self->download_shown_) self->download_.update(bytes);
    if (self->json_) {
      const double seconds =
          std::chrono::duration<double>(std::chrono::steady_clock::now() - self->download_started_).count();
      self->json_->progress("download", bytes, total, seconds, false);
    }
    self->watch_download();
  });
}

void SignatureGate::image_downloaded(ImagePrefetch::Result downloaded) {
  if (finished_) return;
  if (!downloaded.path.empty()) {
    if (!download_shown_) download_.begin(downloaded.size, std::chrono::steady_clock::now() - download_started_);
    download_.update(downloaded.size);
    if (json_) {
      const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - download_started_).count();
      json_->progress("download", downloaded.size, downloaded.size, seconds, true);
    }
  }
  download_.end();
  prefetch_.reset();
  if (downloaded.path.empty()) return finish(downloaded.outcome, std::move(downloaded.detail));
  if (!check(downloaded.path, signature_text_)) {
    // A refused image is not kept where a later run could take it.
    std::error_code ignored;
    std::filesystem::remove(downloaded.path, ignored);
    result_.detail += "; the downloaded image was removed from the cache";
    return;
  }
  // Kept beside the image, as it was beside the URL.
  write_text_file(downloaded.path + ".minisig", signature_text_);
  result_.options.image = downloaded.path;
  result_.options.image_is_url = false;
  finish(Outcome::Success);
}

bool SignatureGate::check(const std::string& path, const std::string& signature) {
  std::string why_not;
  auto image = PosixFileImageHandle::open_for_reading(path, &why_not);
  if (!image->is_open()) {
    finish(Outcome::ImageUnavailable, "cannot open " + path + ": " + why_not);
    return false;
  }
  SignatureVerdict verdict = check_image_signature(*image, signature, keys_,
                                                   {.allow_legacy = result_.options.allow_legacy_signature});
  if (verdict.failure == SignatureFailure::ImageUnreadable) {
    finish(Outcome::ImageUnavailable, "cannot read " + path);
    return false;
  }
  if (!verdict.ok()) {
    const std::string reason(signature_failure_name(*verdict.failure));
    const std::string detail = describe_signature_verdict(verdict);
    result_.verdict = std::move(verdict);
    refuse(reason, detail);
    return false;
  }
  // The transfer reads the file again: pin what it must hold to what was
  // checked, so that a file changed in between is refused, not sent.
  const auto digest = sha256_of_image(*image);
  if (!digest || (expected_ && *digest != *expected_)) {
    finish(Outcome::ImageUnavailable, "cannot read " + path);
    return false;
  }
  if (!result_.options.sha256 || result_.options.image_is_url) result_.options.sha256 = digest->hex();
  announce(&verdict, "");
  result_.verdict = std::move(verdict);
  return true;
}

void SignatureGate::announce(const SignatureVerdict* verdict, const std::string& reason) {
  if (json_) {
    JsonEvent ids = JsonEvent::array();
    for (const auto& key : keys_) ids.push_back(key.key_id.hex());
    const bool verified = verdict && verdict->ok();
    const auto fields = verified ? verdict->fields : std::nullopt;
    json_->emit("signature",
                {{"verified", verified},
                 {"reason", reason.empty() ? JsonEvent(nullptr) : JsonEvent(reason)},
                 {"key_id", verdict && verdict->signed_by ? JsonEvent(verdict->signed_by->hex()) : JsonEvent(nullptr)},
                 {"trusted_key_ids", ids},
                 {"legacy", verdict && verdict->legacy},
                 {"trusted_comment", verified ? or_null(verdict->trusted_comment) : JsonEvent(nullptr)},
                 {"version", fields ? or_null(fields->version) : JsonEvent(nullptr)},
                 {"model", fields ? or_null(fields->model) : JsonEvent(nullptr)}});
    return;
  }
  if (!verdict || !verdict->ok()) return;  // the verdict line says why
  say(describe_signature_verdict(*verdict));
  say("trusted comment: " + verdict->trusted_comment.value_or("(none: a signify signature)"));
}

void SignatureGate::refuse(const std::string& reason, std::string detail) {
  announce(result_.verdict ? &*result_.verdict : nullptr, reason);
  finish(Outcome::SignatureRefused, std::move(detail));
}

void SignatureGate::abort(int signal) {
  if (finished_) return;
  signature_download_.reset();
  if (prefetch_) prefetch_->cancel();
  prefetch_.reset();
  download_.end();
  finish(signal == SIGTERM ? Outcome::Terminated : Outcome::Interrupted, "stopped before the image was checked");
}

void SignatureGate::finish(Outcome outcome, std::string detail) {
  if (finished_) return;
  finished_ = true;
  result_.outcome = outcome;
  result_.detail = std::move(detail);
}

}  // namespace quillon::ota_tool
