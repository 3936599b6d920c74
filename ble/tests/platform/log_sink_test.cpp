#include "quillon/platform/log_sink.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace quillon {
namespace {

TEST(LogSink, FormatsPrintfConversionsIntoOneLine) {
  MemoryLogSink sink;
  sink.logf("ack of start command received,mtu is %ld,credit is %ld", 20L, 3L);
  sink.logf("%s", "");
  const std::string long_text(5000, 'x');
  sink.logf("[BLEManager]Device found:%s", long_text.c_str());
  const auto lines = sink.lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "ack of start command received,mtu is 20,credit is 3");
  EXPECT_EQ(lines[1], "");
  EXPECT_EQ(lines[2], "[BLEManager]Device found:" + long_text);
}

TEST(LogSink, MemorySinkKeepsEveryLineFromSeveralThreads) {
  MemoryLogSink sink;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&sink] {
      for (int i = 0; i < 250; ++i) sink.line("line");
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(sink.lines().size(), 1000u);
  sink.clear();
  EXPECT_TRUE(sink.lines().empty());
}

}  // namespace
}  // namespace quillon
