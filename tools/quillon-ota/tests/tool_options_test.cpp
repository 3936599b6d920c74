#include "tool_options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quillon::ota_tool {
namespace {

ParseResult parse(std::vector<std::string_view> args) { return parse_arguments(args); }

ToolOptions accepted(std::vector<std::string_view> args) {
  auto result = parse(args);
  if (auto* error = std::get_if<UsageError>(&result)) ADD_FAILURE() << "refused: " << error->message;
  return std::holds_alternative<ToolOptions>(result) ? std::get<ToolOptions>(result) : ToolOptions{};
}

std::string refused(std::vector<std::string_view> args) {
  auto result = parse(args);
  auto* error = std::get_if<UsageError>(&result);
  if (!error) {
    ADD_FAILURE() << "accepted";
    return "";
  }
  return error->message;
}

TEST(ToolOptionsTest, TheImageIsAFileOrAnHttpUrlAndExactlyOneIsGiven) {
  EXPECT_FALSE(accepted({"fw.bin"}).image_is_url);
  EXPECT_TRUE(accepted({"HTTP://host/fw.bin"}).image_is_url);
  EXPECT_TRUE(accepted({"https://host/fw.bin"}).image_is_url);
  EXPECT_EQ(accepted({"--", "--odd-name.bin"}).image, "--odd-name.bin") << "-- ends the options";
  EXPECT_NE(refused({}).find("no firmware image"), std::string::npos);
  EXPECT_NE(refused({"a.bin", "b.bin"}).find("more than one image"), std::string::npos);
  EXPECT_NE(refused({"ftp://host/fw.bin"}).find("http"), std::string::npos);
}

TEST(ToolOptionsTest, ValuesComeInlineOrAsTheNextArgumentAndAreRangeChecked) {
  const auto options = accepted({"--mtu=20", "--credit", "0", "fw.bin", "--scan-timeout", "0.5", "--latency=7"});
  EXPECT_EQ(options.module.mtu, 20);
  EXPECT_EQ(options.module.credit, 0);
  EXPECT_DOUBLE_EQ(options.scan_timeout_seconds, 0.5);
  EXPECT_EQ(options.latency_ms, 7u);
  EXPECT_EQ(options.image, "fw.bin");
  const auto checked = accepted({"--sha256", "SHA256SUMS", "--cacert=ca.pem", "https://host/fw.bin"});
  EXPECT_EQ(checked.sha256, "SHA256SUMS");
  EXPECT_EQ(checked.ca_file, "ca.pem");

  for (std::vector<std::string_view> bad : {
           std::vector<std::string_view>{"--mtu", "256", "fw.bin"},
           {"--mtu", "-1", "fw.bin"},
           {"--mtu=12x", "fw.bin"},
           {"--credit=", "fw.bin"},
           {"fw.bin", "--mtu"},
           {"--scan-timeout", "0", "fw.bin"},
           {"--scan-timeout", "nan", "fw.bin"},
           {"--latency", "1001", "fw.bin"},
           {"--verify=yes", "fw.bin"},
           {"--progress", "fancy", "fw.bin"},
           {"--module-id", "not-a-uuid", "fw.bin"},
           {"--unknown", "fw.bin"},
           {"--sha256=", "fw.bin"},
           {"fw.bin", "--cacert"},
       }) {
    SCOPED_TRACE(std::string(bad.front()) + " " + std::string(bad.size() > 1 ? bad[1] : ""));
    refused(bad);
  }
}

TEST(ToolOptionsTest, ModuleIdentifierIsKeptInItsCanonicalUpperCaseForm) {
  EXPECT_EQ(accepted({"fw.bin"}).module_identifier, kDefaultModuleIdentifier);
  EXPECT_EQ(accepted({"--module-id", "aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee", "fw.bin"}).module_identifier,
            "AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE");
}

TEST(ToolOptionsTest, EachFaultSetsItsOwnFieldAndNumberedOnesDefaultToTheFirst) {
  SimOtaModuleFaults faults;
  for (const char* fault : {"corrupt-ack=2", "drop-ack", "unknown-ack=5", "silent=9", "corrupt-end", "ack-end",
                           "merge", "split=3"}) {
    SCOPED_TRACE(fault);
    EXPECT_EQ(apply_fault(fault, faults), std::nullopt);
  }
  EXPECT_EQ(faults.corrupt_ack, 2u);
  EXPECT_EQ(faults.drop_ack, 0u);
  EXPECT_EQ(faults.unknown_opcode_ack, 5u);
  EXPECT_EQ(faults.silent_after, 9u);
  EXPECT_TRUE(faults.corrupt_end);
  EXPECT_TRUE(faults.ack_end);
  EXPECT_TRUE(faults.merge_chunks);
  EXPECT_EQ(faults.split_chunks_at, 3u);

  SimOtaModuleFaults untouched;
  for (const char* fault : {"split", "split=0", "merge=1", "corrupt-ack=x", "corrupt-ack=", "drop", ""}) {
    SCOPED_TRACE(fault);
    EXPECT_NE(apply_fault(fault, untouched), std::nullopt);
  }
  EXPECT_EQ(untouched.corrupt_ack, std::nullopt) << "a refused fault changes nothing";
  EXPECT_EQ(untouched.split_chunks_at, 0u);
}

TEST(ToolOptionsTest, HelpNamesEveryExitStatus) {
  EXPECT_TRUE(std::holds_alternative<HelpRequested>(parse({"fw.bin", "--help"})));
  EXPECT_TRUE(std::holds_alternative<HelpRequested>(parse({"-h"})));
  const auto text = usage_text();
  for (const char* status : {"  0  ", "  2  ", "  3  ", "  4  ", "  5  ", "  6  ", "  7  ", "  8  ", "  9  ", "  11 "}) {
    SCOPED_TRACE(status);
    EXPECT_NE(text.find(status), std::string::npos);
  }
}

}  // namespace
}  // namespace quillon::ota_tool
