// The check that an image is signed by a trusted key, made once per run
// before any module is looked for, so that a refused image never reaches,
// or even connects, a module of the fleet.
//
// The trusted keys are those of --trusted-key and of the keyring directory.
// With none, nothing is checked (unless --require-signature refuses). With
// some, the signature (--signature, else IMAGE.minisig beside a local
// image, else URL.minisig downloaded) is checked over the whole image: a
// URL's image is downloaded into the cache first, and the run then sends
// that checked file, with its digest pinned, so that the bytes checked are
// the bytes sent. Main thread only.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "exit_status.h"
#include "image_prefetch.h"
#include "json_events.h"
#include "tool_options.h"
#include "transfer_view.h"
#include "quillon/integrity/image_signature_check.h"
#include "quillon/net/curl_http_client.h"
#include "quillon/net/signature_download.h"
#include "quillon/platform/run_loop.h"

namespace quillon::ota_tool {

class SignatureGate final : public std::enable_shared_from_this<SignatureGate> {
 public:
  struct Result {
    // Success, or why the run cannot go on (SignatureRefused, and the
    // download's ImageUnavailable or DigestMismatch, UsageError for a
    // --sha256 that cannot be resolved, Interrupted or Terminated).
    Outcome outcome = Outcome::Success;
    std::string detail;
    // A signature was checked: a trusted key is configured.
    bool checked = false;
    std::optional<SignatureVerdict> verdict;
    // The run's options from here on: a URL's image becomes its checked
    // file in the cache, and --sha256 that file's digest.
    ToolOptions options;
  };

  // `download` shows the image download's progress (a URL's); with `json`,
  // events go there instead of as text.
  SignatureGate(ToolOptions options, std::shared_ptr<RunLoop> queue, TransferView& download, JsonEvents* json);
  ~SignatureGate();

  // Checks at once what can be checked at once (keys, a local image); a
  // URL's signature and image are downloaded as the queue runs.
  void start();
  // The user asked the run to stop: downloads end, and so does the gate.
  void abort(int signal);

  bool finished() const { return finished_; }
  const Result& result() const { return result_; }

 private:
  void refuse(const std::string& reason, std::string detail);
  void finish(Outcome outcome, std::string detail = {});
  void signature_downloaded(SignatureDownload::Result downloaded);
  void image_downloaded(ImagePrefetch::Result downloaded);
  // Checks `signature` over the local image at `path`; false (and
  // finished) when refused.
  bool check(const std::string& path, const std::string& signature);
  void announce(const SignatureVerdict* verdict, const std::string& reason);
  void watch_download();
  void say(const std::string& text);

  Result result_;
  std::shared_ptr<RunLoop> queue_;
  TransferView& download_;
  JsonEvents* json_;
  bool finished_ = false;
  std::vector<MinisignPublicKey> keys_;
  std::optional<Sha256Digest> expected_;
  std::string signature_text_;
  std::unique_ptr<CurlHttpClient> http_;
  std::unique_ptr<SignatureDownload> signature_download_;
  std::shared_ptr<ImagePrefetch> prefetch_;
  bool download_shown_ = false;
  std::chrono::steady_clock::time_point download_started_{};
};

}  // namespace quillon::ota_tool
