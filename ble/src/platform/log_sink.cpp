#include "quillon/platform/log_sink.h"

#include <cstdio>

namespace quillon {

void LogSink::logf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  const int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text;
  if (needed > 0) {
    text.resize(static_cast<std::size_t>(needed) + 1);
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<std::size_t>(needed));
  }
  va_end(args);
  line(text);
}

void StderrLogSink::line(std::string_view text) {
  std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
}

void MemoryLogSink::line(std::string_view text) {
  std::lock_guard lock(mutex_);
  lines_.emplace_back(text);
}

std::vector<std::string> MemoryLogSink::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

void MemoryLogSink::clear() {
  std::lock_guard lock(mutex_);
  lines_.clear();
}

}  // namespace quillon
