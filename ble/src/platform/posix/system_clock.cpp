#include <sys/time.h>

#include "quillon/platform/clock.h"

namespace quillon {

std::int64_t SystemClock::now_seconds() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  return static_cast<std::int64_t>(tv.tv_sec);
}

}  // namespace quillon
