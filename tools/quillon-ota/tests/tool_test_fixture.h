// The fixture of quillon-ota's end-to-end tests: a throwaway home (its
// config/ and cache/ folders) per test, and images whose bytes differ from
// packet to packet, so that a lost, repeated or reordered packet changes
// what a module holds.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "scratch_directory.h"
#include "tool_process.h"

namespace quillon::ota_tool {

inline std::vector<std::uint8_t> read_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
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
