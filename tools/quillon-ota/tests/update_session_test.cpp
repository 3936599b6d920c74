// One module's update run in-process, over the simulated world, without the
// built program: the session's verdict comes from the library's typed
// reasons, so it holds however the library words its log lines, or when
// nobody keeps them at all.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "exit_status.h"
#include "scratch_directory.h"
#include "simulated_module.h"
#include "transfer_view.h"
#include "update_session.h"
#include "quillon/integrity/sha256_digest.h"

namespace quillon::ota_tool {
namespace {

// Keeps nothing: no decision may rest on a log line.
class DiscardingLog final : public LogSink {
 public:
  void line(std::string_view) override {}
};

class SilentView final : public TransferView {
 public:
  void begin(std::int64_t, std::chrono::steady_clock::duration) override {}
  void update(std::int64_t) override {}
  void end() override {}
  void message(const char*) override {}
};

TEST(UpdateSession, RefusesAnImageWithAnotherDigestFromTheTypedReasonNotTheLog) {
  quillon::test_support::ScratchDirectory home;
  const auto image = (home.path() / "fw.bin").string();
  const std::vector<char> bytes(3000, '\x5A');
  std::ofstream(image, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  const std::string expected(64, '0');

  ToolOptions options;
  options.image = image;
  options.sha256 = expected;
  options.scan_timeout_seconds = 600;  // only a hang would reach it
  SimulatedSetup simulated = install_simulated_modules(options, std::make_shared<DiscardingLog>());
  const auto queue = simulated.world->queue();
  SilentView view;
  auto session = std::make_shared<UpdateSession>(options, BLEManager::sharedInstance(), queue,
                                                 std::make_shared<DiscardingLog>(), view);
  session->start();
  while (!session->finished()) queue->run_until([&] { return session->finished(); }, std::chrono::hours(1));

  EXPECT_EQ(session->outcome(), Outcome::DigestMismatch);
  EXPECT_EQ(exit_status_for(session->outcome()), kExitDigest);
  const std::string actual = sha256_of_bytes(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size())).hex();
  EXPECT_EQ(session->detail(), "expected " + expected + ", got " + actual);
  // Refused before START: nothing reached the module.
  EXPECT_EQ(session->bytes_sent(), 0);
  EXPECT_EQ(simulated.modules.at(0)->otaModule().packets_received(), 0u);
}

}  // namespace
}  // namespace quillon::ota_tool
