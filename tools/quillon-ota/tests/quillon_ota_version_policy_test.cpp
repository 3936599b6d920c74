// quillon-ota deciding from what each simulated module runs: every row of
// the version policy in one fleet, --dry-run writing nothing, the signed
// version and model, and strings from modules shown escaped.
#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "exit_status.h"
#include "support/signing_tools.h"
#include "tool_test_fixture.h"

namespace quillon::ota_tool {
namespace {

// Each module's entry of the closing "summary" event, by identifier.
std::map<std::string, nlohmann::json> summarised(const std::vector<nlohmann::json>& events) {
  std::map<std::string, nlohmann::json> modules;
  if (events.empty() || events.back().value("event", "") != "summary") return modules;
  for (const auto& module : events.back().at("modules")) modules[module.at("module").get<std::string>()] = module;
  return modules;
}

class QuillonOtaVersionPolicyTest : public QuillonOtaTest {
 protected:
  // An image tagged with `version`, as the emulated modules read it.
  std::string tagged_image(const std::string& version) {
    const auto path = make_image(20000);
    std::ofstream(path, std::ios::binary | std::ios::app) << "QVER:" << version << '\0';
    return path;
  }
};

TEST_F(QuillonOtaVersionPolicyTest, EachModuleGetsWhatItsVersionCallsFor) {
  const auto image = tagged_image("2.0.0");
  const std::vector<std::string> fleet{image, "--all", "--modules", "4", "--scan-timeout", "0.5", "--json",
                                       "--firmware-revision", "1:1.9", "--firmware-revision", "2:2.0",
                                       "--firmware-revision", "3:2.1.0-rc.1+build.5"};
  struct Expected {
    std::string outcome;
    std::string reason;
    nlohmann::json new_version;
    std::int64_t bytes;
  };
  {
    SCOPED_TRACE("the image's version given");
    auto args = fleet;
    args.insert(args.end(), {"--image-version", "2.0.0"});
    const auto result = run(args);
    EXPECT_EQ(result.status, kExitFleet) << result.output;
    const std::map<std::string, Expected> expected{
        {fleet_id(1), {"success", "update from 1.9 to 2.0.0", "2.0.0", 20011}},
        {fleet_id(2), {"already_current", "already 2.0", nullptr, 0}},
        {fleet_id(3), {"policy_refused", "it would downgrade from 2.1.0-rc.1+build.5 to 2.0.0", nullptr, 0}},
        {fleet_id(4),
         {"success", "version unknown: the module offers no device information; updating to 2.0.0", nullptr, 20011}},
    };
    const auto modules = summarised(json_lines(result.output));
    ASSERT_EQ(modules.size(), 4u) << result.output;
    for (const auto& [id, want] : expected) {
      SCOPED_TRACE(id);
      const auto& module = modules.at(id);
      EXPECT_EQ(module.value("outcome", ""), want.outcome);
      EXPECT_EQ(module.value("reason", ""), want.reason);
      EXPECT_EQ(module.at("new_version"), want.new_version);
      EXPECT_EQ(module.value("bytes", -1), want.bytes);
    }
  }
  {
    SCOPED_TRACE("reinstall and older allowed: every module is sent the image");
    auto args = fleet;
    args.insert(args.end(), {"--image-version", "2.0.0", "--allow-reinstall", "--allow-older"});
    const auto result = run(args);
    EXPECT_EQ(result.status, 0) << result.output;
    for (const auto& [id, module] : summarised(json_lines(result.output))) {
      EXPECT_EQ(module.value("bytes", -1), 20011) << id;
    }
  }
  {
    SCOPED_TRACE("without an image version, every module is updated as before, and its version is shown");
    auto args = fleet;
    args.erase(args.begin() + 6);  // --json: the text table this time
    args.insert(args.end(), {"--progress", "none"});
    const auto result = run(args);
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(result.verdict(), "quillon-ota: success: all 4 modules updated");
    EXPECT_FALSE(result.says("plan:")) << "nothing read before the update";
  }
}

// --dry-run connects and reads, and writes nothing: the module keeps what
// it had, and the same run without --dry-run then updates it.
TEST_F(QuillonOtaVersionPolicyTest, ADryRunShowsThePlanAndWritesNothing) {
  const auto image = tagged_image("2.0.0");
  const auto received = in_home("received.bin");
  const auto dry = run({image, "--firmware-revision", "1.0", "--model", "TPX-80", "--image-version", "2.0.0",
                        "--dry-run", "--save-received", received, "--json"});
  EXPECT_EQ(dry.status, 0) << dry.output;
  EXPECT_TRUE(read_bytes(received).empty());
  const auto events = json_lines(dry.output);
  const auto plan = std::find_if(events.begin(), events.end(), [](const auto& e) { return e["event"] == "plan"; });
  ASSERT_NE(plan, events.end()) << dry.output;
  EXPECT_EQ((*plan)["model"], "TPX-80");
  EXPECT_EQ((*plan)["version"], "1.0");
  EXPECT_EQ((*plan)["action"], "update");
  EXPECT_EQ(events.back()["outcome"], "planned");

  const auto fleet = run({image, "--all", "--modules", "2", "--firmware-revision", "1:2.0.0", "--image-version",
                          "2.0.0", "--dry-run", "--progress", "none", "--scan-timeout", "0.5"});
  EXPECT_EQ(fleet.status, 0) << fleet.output;
  EXPECT_TRUE(fleet.says("plan: model -, running 2.0.0: skip (already 2.0.0)")) << fleet.output;
  EXPECT_TRUE(fleet.says("plan: model -, running (unknown): update (version unknown")) << fleet.output;
  EXPECT_EQ(fleet.verdict(), "quillon-ota: dry run: 1 of 2 modules would be updated, 1 already current; nothing was sent");
}

// The signature's trusted comment gives the image's version and model; a
// module of another model is refused with both named, unless allowed; a
// version on the command line that says otherwise is a usage error.
TEST_F(QuillonOtaVersionPolicyTest, TheSignedVersionAndModelDecide) {
  using quillon::test_support::SigningKey;
  const auto vendor = SigningKey::make(home_.path(), "vendor");
  const auto image = tagged_image("2.1.0");
  vendor.sign(image, image + ".minisig", "version=2.1.0 model=TPX-80");
  const std::vector<std::string> fleet{image, "--trusted-key", vendor.public_key.string(), "--all", "--modules", "3",
                                       "--scan-timeout", "0.5", "--json", "--firmware-revision", "2.0",
                                       "--model", "TPX-80", "--model", "2:QL-9", "--firmware-revision", "3:2.1.0"};
  {
    const auto result = run(fleet);
    EXPECT_EQ(result.status, kExitFleet) << result.output;
    const auto modules = summarised(json_lines(result.output));
    ASSERT_EQ(modules.size(), 3u) << result.output;
    EXPECT_EQ(modules.at(fleet_id(1)).value("outcome", ""), "success");
    EXPECT_EQ(modules.at(fleet_id(1)).value("new_version", ""), "2.1.0");
    EXPECT_EQ(modules.at(fleet_id(2)).value("reason", ""), "the image is for model TPX-80, the module is model QL-9");
    EXPECT_EQ(modules.at(fleet_id(2)).value("exit_status", -1), kExitPolicyRefused);
    EXPECT_EQ(modules.at(fleet_id(3)).value("outcome", ""), "already_current");
  }
  {
    auto args = fleet;
    args.push_back("--allow-other-model");
    const auto result = run(args);
    EXPECT_EQ(result.status, 0) << result.output;
    EXPECT_EQ(summarised(json_lines(result.output)).at(fleet_id(2)).value("outcome", ""), "success");
  }
  {
    auto args = fleet;
    args.insert(args.end(), {"--image-version", "2.2"});
    const auto result = run(args);
    EXPECT_EQ(result.status, kExitUsage) << result.output;
    EXPECT_TRUE(result.says("--image-version 2.2 contradicts the version the image is signed as, 2.1.0")) << result.output;
  }
}

// A module's strings reach the plan line and JSON escaped, never raw.
TEST_F(QuillonOtaVersionPolicyTest, StrangeModuleStringsAreShownEscaped) {
  const auto image = tagged_image("2.0");
  const auto text = run({image, "--firmware-revision", "1.0\x1b[2J", "--model", "QL\xff\x07", "--image-version", "2.0",
                         "--dry-run", "--progress", "none"});
  EXPECT_EQ(text.status, 0) << text.output;
  EXPECT_TRUE(text.says("plan: model QL\\xFF\\x07, running 1.0\\x1B[2J: update")) << text.output;
  EXPECT_EQ(text.output.find('\x1b'), std::string::npos) << text.output;
  const auto json = run({image, "--firmware-revision", "1.0\x1b[2J", "--model", "QL\xff\x07", "--image-version", "2.0",
                         "--dry-run", "--json"});
  const auto events = json_lines(json.output);  // throws on invalid JSON
  EXPECT_EQ(events.back().value("model", ""), "QL\\xFF\\x07");
}

}  // namespace
}  // namespace quillon::ota_tool
