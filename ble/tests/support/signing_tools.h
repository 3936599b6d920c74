// Keys and signatures made by the real producers at test time: Debian's
// minisign (prehashed, and legacy with -l) and signify-openbsd, run in a
// folder the test owns. Nothing is stored in the sources: each run makes
// fresh keys, so the tests prove interoperation with the tools as
// installed, not with a frozen sample.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "child_process.h"

namespace quillon::test_support {

// Runs `args` (looked up on PATH) with its output discarded; throws unless
// it exits with 0.
inline void run_signing_tool(std::vector<std::string> args) {
  ChildProcess tool(args, ChildOptions{.errors_to = "/dev/null", .stop_signal = 0});
  const int status = tool.finish();
  if (status == 127) throw std::runtime_error("cannot run " + args[0] + " (is it installed? ./kit deps)");
  if (status != 0) throw std::runtime_error(args[0] + " failed");
}

inline std::string read_text(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_text(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// A key pair in `folder`: <name>.pub and <name>.key (<name>.sec for
// signify, which insists on that name).
struct SigningKey {
  enum class Tool { Minisign, Signify };
  Tool tool;
  std::filesystem::path public_key;
  std::filesystem::path secret_key;

  static SigningKey make(const std::filesystem::path& folder, const std::string& name, Tool tool = Tool::Minisign) {
    SigningKey key{tool, folder / (name + ".pub"), folder / (name + (tool == Tool::Signify ? ".sec" : ".key"))};
    if (tool == Tool::Minisign) {
      // -W: no password on the secret key, so nothing prompts.
      run_signing_tool({"minisign", "-G", "-W", "-p", key.public_key, "-s", key.secret_key});
    } else {
      run_signing_tool({"signify-openbsd", "-G", "-n", "-p", key.public_key, "-s", key.secret_key});
    }
    return key;
  }

  // The key line of the public key file (what `minisign -P` takes).
  std::string key_text() const {
    const std::string text = read_text(public_key);
    const auto start = text.find('\n') + 1;
    return text.substr(start, text.find('\n', start) - start);
  }

  // Signs `file` into `signature` (minisign: prehashed unless `legacy`,
  // with `trusted_comment`; signify: its own two-line format) and returns
  // the signature file's text.
  std::string sign(const std::filesystem::path& file, const std::filesystem::path& signature,
                   const std::string& trusted_comment = "version=2.1.0 model=TPX-80", bool legacy = false) const {
    if (tool == Tool::Signify) {
      run_signing_tool({"signify-openbsd", "-S", "-s", secret_key, "-m", file, "-x", signature});
    } else {
      std::vector<std::string> args{"minisign", "-S", "-s", secret_key, "-m", file, "-x", signature, "-t", trusted_comment};
      if (legacy) args.push_back("-l");
      run_signing_tool(args);
    }
    return read_text(signature);
  }
};

}  // namespace quillon::test_support
