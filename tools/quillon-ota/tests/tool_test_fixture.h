// The fixture of quillon-ota's end-to-end tests: a throwaway home (its
// config/ and cache/ folders) per test, and images whose bytes differ from
// packet to packet, so that a lost, repeated or reordered packet changes
// what a module holds.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "scratch_directory.h"
#include "tool_process.h"

namespace quillon::ota_tool {

inline std::vector<std::uint8_t> read_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Module n (from 1) of `--modules`.
inline std::string fleet_id(int n) {
  char text[40];
  std::snprintf(text, sizeof text, "6F1A3C52-0B7E-4D2A-9C51-3E8F2B7D%04X", n);
  return text;
}

// Every line of a --json run, parsed (throws on one that is not JSON).
inline std::vector<nlohmann::json> json_lines(const std::string& output) {
  std::vector<nlohmann::json> events;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) events.push_back(nlohmann::json::parse(line));
  return events;
}

class QuillonOtaTest : public ::testing::Test {
 protected:
  std::string make_image(std::size_t size, const std::string& name = "fw.bin") {
    std::vector<char> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 253) & 0xFF);
    const auto path = home_.path() / name;
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(size));
    return path.string();
  }
  std::string in_home(const std::string& name) const { return (home_.path() / name).string(); }
  test_support::ToolRun run(std::vector<std::string> args) { return test_support::run_tool(args, home_.path()); }

  quillon::test_support::ScratchDirectory home_;
};

}  // namespace quillon::ota_tool
