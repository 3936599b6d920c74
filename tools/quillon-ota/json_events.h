// quillon-ota's events for scripts and fleet tools (--json): one JSON object
// per line on one stream, each with an "event" name and the fields that
// --help lists. Progress events are thinned to at most ten a second, plus
// the one at 100%, so that a long transfer does not flood the reader.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

namespace quillon::ota_tool {

using JsonEvent = nlohmann::ordered_json;

// {"event":"<kind>","bytes":..,"total":..,"seconds":..,"bytes_per_second":..}
// for "download" and "transfer"; total -1 when unknown.
JsonEvent progress_event(const std::string& kind, std::int64_t bytes, std::int64_t total, double seconds);

class JsonEvents {
 public:
  explicit JsonEvents(std::FILE* out) : out_(out) {}
  // Every event also carries `common` (a fleet run's {"module": <id>}),
  // right after its name.
  JsonEvents(std::FILE* out, JsonEvent common) : out_(out), common_(std::move(common)) {}

  // Writes {"event":"<name>", ...common, ...fields} as one line and flushes it.
  void emit(const std::string& name, JsonEvent fields = JsonEvent::object());

  // A progress event, unless one of the same kind went out less than 100 ms
  // ago; `final` always goes out.
  void progress(const std::string& kind, std::int64_t bytes, std::int64_t total, double seconds, bool final);

 private:
  std::FILE* out_;
  JsonEvent common_ = JsonEvent::object();
  std::string last_kind_;
  std::chrono::steady_clock::time_point last_progress_{};
};

}  // namespace quillon::ota_tool
