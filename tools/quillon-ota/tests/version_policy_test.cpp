// The version policy, row by row: what a module reports, the image's
// version and model, and the options that loosen the rules, against the
// action and the words of its reason.
#include "version_policy.h"

#include <gtest/gtest.h>

#include <vector>

#include "fleet_summary.h"
#include "tool_options.h"

namespace quillon::ota_tool {
namespace {

struct Row {
  const char* what;
  ModuleFacts module;
  VersionPolicy policy;
  PlanDecision expected;
};

VersionPolicy image(const char* version) {
  VersionPolicy policy;
  policy.image_version = version;
  return policy;
}

VersionPolicy with(VersionPolicy policy, bool VersionPolicy::*allowance) {
  policy.*allowance = true;
  return policy;
}

VersionPolicy for_model(VersionPolicy policy, const char* model) {
  policy.image_model = model;
  return policy;
}

ModuleFacts running(const char* version, const char* model = "TPX-80") { return {model, version, std::nullopt}; }

TEST(VersionPolicyTest, EachRowOfThePolicy) {
  const std::vector<Row> rows{
      {"older", running("2.0.9"), image("2.1.0"), {PlanAction::Update, "update from 2.0.9 to 2.1.0"}},
      {"numbers, not text", running("2.9"), image("2.10"), {PlanAction::Update, "update from 2.9 to 2.10"}},
      {"pre-release below its release", running("2.1.0-rc.2"), image("2.1.0"),
       {PlanAction::Update, "update from 2.1.0-rc.2 to 2.1.0"}},
      {"same", running("2.1.0"), image("2.1.0"), {PlanAction::Skip, "already 2.1.0"}},
      {"same, written otherwise", running("v2.1+build.7"), image("2.1.0"), {PlanAction::Skip, "already v2.1+build.7"}},
      {"same, reinstall", running("2.1.0"), with(image("2.1.0"), &VersionPolicy::allow_reinstall),
       {PlanAction::Update, "already 2.1.0; reinstalling (--allow-reinstall)"}},
      {"newer", running("2.2"), image("2.1.0"), {PlanAction::Refuse, "it would downgrade from 2.2 to 2.1.0"}},
      {"newer, allowed", running("2.2"), with(image("2.1.0"), &VersionPolicy::allow_older),
       {PlanAction::Update, "downgrading from 2.2 to 2.1.0 (--allow-older)"}},
      {"reinstall does not allow older", running("2.2"), with(image("2.1.0"), &VersionPolicy::allow_reinstall),
       {PlanAction::Refuse, "it would downgrade from 2.2 to 2.1.0"}},
      {"no revision", {"TPX-80", std::nullopt, std::nullopt}, image("2.1.0"),
       {PlanAction::Update, "version unknown: the module reports no firmware revision; updating to 2.1.0"}},
      {"empty revision", running(""), image("2.1.0"),
       {PlanAction::Update, "version unknown: the module reports no firmware revision; updating to 2.1.0"}},
      {"reads timed out", {std::nullopt, std::nullopt, "its device information did not come within 5 s"}, image("2.1.0"),
       {PlanAction::Update, "version unknown: its device information did not come within 5 s; updating to 2.1.0"}},
      {"not versions, same", running("build-abc"), image("build-abc"), {PlanAction::Skip, "already build-abc"}},
      {"not versions, different", running("build-abc"), image("build-abd"),
       {PlanAction::Update, "running build-abc, not build-abd (no order between them)"}},
      {"no image version", running("2.1.0"), VersionPolicy{},
       {PlanAction::Update, "running 2.1.0; the image's version is not given"}},
      {"other model", running("2.0", "QL-9"), for_model(image("2.1.0"), "TPX-80"),
       {PlanAction::Refuse, "the image is for model TPX-80, the module is model QL-9"}},
      {"model unknown", {std::nullopt, "2.0", std::nullopt}, for_model(image("2.1.0"), "TPX-80"),
       {PlanAction::Update, "update from 2.0 to 2.1.0; its model is unknown (the image is for TPX-80)"}},
      {"model unknown, same version", {std::nullopt, "2.1.0", std::nullopt}, for_model(image("2.1.0"), "TPX-80"),
       {PlanAction::Skip, "already 2.1.0"}},
      {"other model allowed", running("2.0", "QL-9"),
       with(for_model(image("2.1.0"), "TPX-80"), &VersionPolicy::allow_other_model),
       {PlanAction::Update, "update from 2.0 to 2.1.0"}},
      {"same model, same version", running("2.1.0"), for_model(image("2.1.0"), "TPX-80"),
       {PlanAction::Skip, "already 2.1.0"}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(decide_module_plan(row.module, row.policy), row.expected);
  }
}

// The trusted comment's version and model become the image's; a version
// given on the command line must say the same.
TEST(VersionPolicyTest, TheSignedVersionAndModelAreTheImagesAndMayNotBeContradicted) {
  const TrustedCommentFields signed_fields{"2.1.0", "TPX-80"};
  VersionPolicy none;
  EXPECT_EQ(take_signed_image_fields(signed_fields, none), std::nullopt);
  EXPECT_EQ(none.image_version, "2.1.0");
  EXPECT_EQ(none.image_model, "TPX-80");

  VersionPolicy same = image("v2.1");
  EXPECT_EQ(take_signed_image_fields(signed_fields, same), std::nullopt);

  VersionPolicy other = image("2.2.0");
  EXPECT_EQ(take_signed_image_fields(signed_fields, other),
            "--image-version 2.2.0 contradicts the version the image is signed as, 2.1.0");

  VersionPolicy escaped;
  EXPECT_EQ(take_signed_image_fields({"2.1\x1b[2J", std::nullopt}, escaped), std::nullopt);
  EXPECT_EQ(escaped.image_version, "2.1\\x1B[2J");
}

// Refused modules are not updated; a fleet whose every module already runs
// the image has nothing to do, which is neither success nor failure.
TEST(VersionPolicyTest, TheFleetStatusCountsSkippedAsDoneAndRefusedAsNotUpdated) {
  const auto result = [](Outcome outcome) { return ModuleResult{"A", "", outcome, "", 0, 0, std::nullopt}; };
  const auto current = result(Outcome::AlreadyCurrent);
  EXPECT_EQ(fleet_exit_status({current, current}, std::nullopt), kExitNothingToDo);
  EXPECT_EQ(fleet_verdict_line({current, current}, std::nullopt),
            "quillon-ota: nothing to do (exit 20): all 2 modules already run the image's version");
  EXPECT_EQ(fleet_exit_status({current, result(Outcome::Success)}, std::nullopt), kExitSuccess);
  EXPECT_EQ(fleet_verdict_line({current, result(Outcome::Success)}, std::nullopt),
            "quillon-ota: success: 1 module updated, 1 already current");
  EXPECT_EQ(fleet_exit_status({current, result(Outcome::PolicyRefused)}, std::nullopt), kExitFleet);
  EXPECT_EQ(fleet_verdict_line({current, result(Outcome::PolicyRefused)}, std::nullopt),
            "quillon-ota: failed (exit 10): 1 of 2 modules not updated, 1 already current");
  EXPECT_EQ(fleet_verdict_line({current, result(Outcome::Planned)}, std::nullopt),
            "quillon-ota: dry run: 1 of 2 modules would be updated, 1 already current; nothing was sent");
  EXPECT_EQ(fleet_exit_status({current}, Outcome::Interrupted), kExitInterrupted);
  EXPECT_EQ(exit_status_for(Outcome::AlreadyCurrent), kExitNothingToDo);
  EXPECT_EQ(exit_status_for(Outcome::PolicyRefused), kExitPolicyRefused);
}

TEST(VersionPolicyTest, TheOptionsAreAGroupOfTheirOwn) {
  const auto parse = [](std::vector<std::string_view> args) { return parse_arguments(args); };
  const auto parsed = parse({"fw.bin", "--image-version=2.1.0", "--allow-reinstall", "--allow-older",
                             "--allow-other-model", "--dry-run"});
  ASSERT_TRUE(std::holds_alternative<ToolOptions>(parsed));
  const auto& versions = std::get<ToolOptions>(parsed).versions;
  EXPECT_EQ(versions.policy.image_version, "2.1.0");
  EXPECT_TRUE(versions.policy.allow_reinstall && versions.policy.allow_older && versions.policy.allow_other_model);
  EXPECT_TRUE(versions.dry_run);
  for (const auto& args : std::vector<std::vector<std::string_view>>{{"fw.bin", "--image-version"},
                                                                     {"fw.bin", "--image-version="},
                                                                     {"fw.bin", "--image-version", "2.1\x1b"},
                                                                     {"fw.bin", "--dry-run=yes"},
                                                                     {"--list", "--dry-run"}}) {
    EXPECT_TRUE(std::holds_alternative<UsageError>(parse(args))) << args.back();
  }
}

}  // namespace
}  // namespace quillon::ota_tool
