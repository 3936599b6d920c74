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

TEST(ToolOptionsTest, ModulesAreNamedByIdentifierOrNumberAndAFleetRunIsToldApart) {
  // One named module: a single run, and the simulated world holds exactly it.
  const auto one = accepted({"--module-id", "aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee", "fw.bin"});
  EXPECT_FALSE(one.fleet());
  EXPECT_EQ(simulated_identifiers(one), std::vector<std::string>{"AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE"});
  EXPECT_EQ(simulated_identifiers(accepted({"fw.bin"})), std::vector<std::string>{std::string(kDefaultModuleIdentifier)});

  // --modules numbers the modules from 1; faults aim at one by number or by
  // identifier, and the others keep the faults given for all.
  const auto fleet = accepted({"--all", "--modules", "3", "--fault", "2:silent=4", "--fault",
                               "6f1a3c52-0b7e-4d2a-9c51-3e8f2b7d0003:corrupt-end", "--fault", "merge", "fw.bin"});
  EXPECT_TRUE(fleet.fleet());
  EXPECT_EQ(fleet.parallel, 4u);
  EXPECT_EQ(simulated_identifiers(fleet),
            (std::vector<std::string>{"6F1A3C52-0B7E-4D2A-9C51-3E8F2B7D0001", "6F1A3C52-0B7E-4D2A-9C51-3E8F2B7D0002",
                                      "6F1A3C52-0B7E-4D2A-9C51-3E8F2B7D0003"}));
  EXPECT_EQ(fleet.module_faults.at("#2").silent_after, 4u);
  EXPECT_TRUE(fleet.module_faults.at("6F1A3C52-0B7E-4D2A-9C51-3E8F2B7D0003").corrupt_end);
  EXPECT_TRUE(fleet.module.faults.merge_chunks);
  EXPECT_TRUE(accepted({"--module-id", "aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee", "--module-id",
                        "aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeee0", "--parallel=1", "fw.bin"})
                  .fleet());

  for (const auto& [args, words] : std::vector<std::pair<std::vector<std::string_view>, std::string>>{
           {{"--all", "--module-id", "aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee", "fw.bin"}, "give one of them"},
           {{"--module-id", "aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee", "--module-id",
             "AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE", "fw.bin"}, "given twice"},
           {{"--all", "--retrieve", "fw.bin"}, "fleet run"},
           {{"--all", "--save-received", "out.bin", "fw.bin"}, "fleet run"},
           {{"--all", "--modules", "2", "--fault", "3:merge", "fw.bin"}, "no such module"},
           {{"--all", "--fault", "aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee:merge", "fw.bin"}, "no such module"},
           {{"--all", "--fault", "first:merge", "fw.bin"}, "neither a module's number"},
           {{"--all", "--fault", "1:sideways", "fw.bin"}, "unknown fault"},
           {{"--all", "--parallel", "0", "fw.bin"}, "from 1 to 64"},
           {{"--all", "--modules", "257", "fw.bin"}, "from 1 to 256"},
           {{"--no-module", "--modules", "2", "fw.bin"}, "--no-module"},
           {{"--backend", "bluez", "--modules", "2", "fw.bin"}, "simulated"},
           {{"--list", "fw.bin"}, "takes no IMAGE"},
           {{"--list", "--modules", "2", "--out-of-range", "3"}, "--out-of-range 3: the simulated world has no such"},
           {{"--list", "--out-of-range", "near"}, "neither a module's number"},
           {{"--list", "--backend", "bluez", "--out-of-range", "1"}, "simulated"},
       }) {
    SCOPED_TRACE(words);
    EXPECT_NE(refused(args).find(words), std::string::npos) << refused(args);
  }
}

// The simulated modules' strings go to every module, or to the one that
// WHICH: names; a value that merely holds a colon is everyone's.
TEST(ToolOptionsTest, DeviceInformationGoesToEveryModuleOrToTheOneNamed) {
  const auto options = accepted({"--list", "--modules", "3", "--model", "QL-7", "--firmware-revision", "2:1.0",
                                 "--firmware-revision", "6f1a3c52-0b7e-4d2a-9c51-3e8f2b7d0003:2.0",
                                 "--firmware-revision", "build:7"});
  using Field = DeviceInformationField;
  EXPECT_EQ(options.module_information.at("").at(Field::ModelNumber), "QL-7");
  EXPECT_EQ(options.module_information.at("").at(Field::FirmwareRevision), "build:7");
  EXPECT_EQ(options.module_information.at("#2").at(Field::FirmwareRevision), "1.0");
  EXPECT_EQ(options.module_information.at("6F1A3C52-0B7E-4D2A-9C51-3E8F2B7D0003").at(Field::FirmwareRevision), "2.0");
  EXPECT_FALSE(options.scan_only);
  EXPECT_TRUE(accepted({"--list", "--scan-only"}).scan_only);

  for (const auto& [args, words] : std::vector<std::pair<std::vector<std::string_view>, std::string>>{
           {{"--scan-only", "fw.bin"}, "goes with --list"},
           {{"--list", "--modules", "2", "--model", "3:QL-7"}, "no such module"},
           {{"--list", "--backend", "bluez", "--firmware-revision", "1.0"}, "simulated"},
       }) {
    SCOPED_TRACE(words);
    EXPECT_NE(refused(args).find(words), std::string::npos) << refused(args);
  }
}

TEST(ToolOptionsTest, EachFaultSetsItsOwnFieldAndNumberedOnesDefaultToTheFirst) {
  OtaModuleFaults faults;
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

  OtaModuleFaults untouched;
  for (const char* fault : {"split", "split=0", "merge=1", "corrupt-ack=x", "corrupt-ack=", "drop", ""}) {
    SCOPED_TRACE(fault);
    EXPECT_NE(apply_fault(fault, untouched), std::nullopt);
  }
  EXPECT_EQ(untouched.corrupt_ack, std::nullopt) << "a refused fault changes nothing";
  EXPECT_EQ(untouched.split_chunks_at, 0u);
}

// The options read only by the tool's own runs (signatures, the link, how
// the run is shown): each is taken, an empty name or a flag's value refused.
TEST(ToolOptionsTest, SignatureLinkAndOutputOptionsAreTakenAndEmptyNamesRefused) {
  const auto options = accepted({"--trusted-key", "a.pub", "--trusted-key=RWQkey", "--signature=fw.sig",
                                 "--require-signature", "--allow-legacy-signature", "--att-mtu", "23", "--max-image",
                                 "100", "--adapter=hci_1", "--json", "-v", "--", "--help"});
  EXPECT_EQ(options.trusted_keys, (std::vector<std::string>{"a.pub", "RWQkey"}));
  EXPECT_EQ(options.signature, "fw.sig");
  EXPECT_TRUE(options.require_signature && options.allow_legacy_signature && options.json && options.verbose);
  EXPECT_EQ(options.att_mtu, 23u);
  EXPECT_EQ(options.module.max_image_length, 100u);
  EXPECT_EQ(options.adapter, "hci_1");
  EXPECT_EQ(options.image, "--help") << "after --, --help is the image";

  const std::pair<std::vector<std::string_view>, std::string> rows[] = {
      {{"--trusted-key=", "fw.bin"}, "--trusted-key needs a value"},
      {{"--signature", "", "fw.bin"}, "--signature needs a value"},
      {{"--save-received=", "fw.bin"}, "--save-received needs a value"},
      {{"--adapter=", "fw.bin"}, "--adapter needs a value"},
      {{"--require-signature=no", "fw.bin"}, "--require-signature takes no value"},
      {{"--json=1", "fw.bin"}, "--json takes no value"},
      {{"--att-mtu", "22", "fw.bin"}, "--att-mtu must be a whole number from 23 to 517, not '22'"},
      {{"--adapter", "hci/0", "fw.bin"}, "--adapter must be an adapter name such as hci0, not 'hci/0'"},
      {{"--backend", "bluez", "--att-mtu", "23", "fw.bin"},
       "--att-mtu shapes the simulated module; it does not go with --backend bluez"},
  };
  for (const auto& [args, message] : rows) EXPECT_EQ(refused(args), message);
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
