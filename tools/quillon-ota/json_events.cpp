#include "json_events.h"

namespace quillon::ota_tool {

JsonEvent progress_event(const std::string& kind, std::int64_t bytes, std::int64_t total, double seconds) {
  JsonEvent event;
  event["event"] = kind;
  event["bytes"] = bytes;
  event["total"] = total > 0 || bytes == 0 ? total : -1;
  event["seconds"] = seconds;
  event["bytes_per_second"] = seconds > 0 ? static_cast<double>(bytes) / seconds : 0.0;
  return event;
}

void JsonEvents::emit(const std::string& name, JsonEvent fields) {
  JsonEvent event;
  event["event"] = name;
  for (auto& [key, value] : common_.items()) event[key] = value;
  for (auto& [key, value] : fields.items()) event[key] = value;
  // Invalid UTF-8 in a name or a path must not end the run.
  const std::string line = event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  std::fprintf(out_, "%s\n", line.c_str());
  std::fflush(out_);
}

void JsonEvents::progress(const std::string& kind, std::int64_t bytes, std::int64_t total, double seconds,
                          bool final) {
  const auto now = std::chrono::steady_clock::now();
  if (!final && kind == last_kind_ && now - last_progress_ < std::chrono::milliseconds(100)) return;
  last_kind_ = kind;
  last_progress_ = now;
  JsonEvent event = progress_event(kind, bytes, total, seconds);
  event.erase("event");
  emit(kind, std::move(event));
}

}  // namespace quillon::ota_tool
