// What checking an image's signature costs, next to b2sum hashing the same
// file: the check is BLAKE2b-512 of the image plus two Ed25519
// verifications, so b2sum (BLAKE2b-512 as well) is its floor.
//
//   signature_check_bench [MiB]        (default 256)
//
// Writes an image of that size into a scratch folder, signs it with
// minisign (prehashed, a fresh key), then times check_image_signature over
// the file and `b2sum FILE`, the file in the page cache for both (each is
// run once before timing). Prints the best of three rounds of each, per
// MiB, and their ratio.
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <vector>

#include "../ble/tests/download/scratch_directory.h"
#include "../ble/tests/support/signing_tools.h"
#include "quillon/integrity/image_signature_check.h"
#include "quillon/platform/posix_file_image_handle.h"

namespace {

using Seconds = std::chrono::duration<double>;

double time_check(const std::string& image, const std::string& signature,
                  const std::vector<quillon::MinisignPublicKey>& trusted) {
  const auto began = std::chrono::steady_clock::now();
  auto file = quillon::PosixFileImageHandle::open_for_reading(image);
  const auto verdict = quillon::check_image_signature(*file, signature, trusted);
  const double took = Seconds(std::chrono::steady_clock::now() - began).count();
  if (!verdict.ok()) {
    std::fprintf(stderr, "the check failed: %s\n", quillon::describe_signature_verdict(verdict).c_str());
    std::exit(1);
  }
  return took;
}

double time_b2sum(const std::string& image) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  char* argv[] = {const_cast<char*>("b2sum"), const_cast<char*>(image.c_str()), nullptr};
  const auto began = std::chrono::steady_clock::now();
  pid_t pid = 0;
  if (posix_spawnp(&pid, "b2sum", &actions, nullptr, argv, environ) != 0) {
    std::fprintf(stderr, "cannot run b2sum\n");
    std::exit(1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  posix_spawn_file_actions_destroy(&actions);
  return Seconds(std::chrono::steady_clock::now() - began).count();
}

}  // namespace

int main(int argc, char** argv) {
  const long mib = argc > 1 ? std::atol(argv[1]) : 256;
  quillon::test_support::ScratchDirectory scratch;
  const std::string image = (scratch.path() / "image.bin").string();
  {
    std::vector<char> block(1 << 20);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((i * 131 + i / 253) & 0xFF);
    std::ofstream out(image, std::ios::binary);
    for (long i = 0; i < mib; ++i) {
      block[0] = static_cast<char>(i);
      out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
  }
  const auto key = quillon::test_support::SigningKey::make(scratch.path(), "bench");
  const std::string signature = key.sign(image, image + ".minisig");
  const auto parsed = quillon::parse_minisign_public_key(quillon::test_support::read_text(key.public_key));
  const std::vector<quillon::MinisignPublicKey> trusted{std::get<quillon::MinisignPublicKey>(parsed)};

  time_check(image, signature, trusted);
  time_b2sum(image);
  double best_check = 1e9;
  double best_b2sum = 1e9;
  for (int round = 0; round < 3; ++round) {
    best_check = std::min(best_check, time_check(image, signature, trusted));
    best_b2sum = std::min(best_b2sum, time_b2sum(image));
  }
  std::printf("image: %ld MiB in the page cache, best of 3 rounds\n", mib);
  std::printf("signature check: %.3f s (%.2f ms per MiB, %.0f MiB/s)\n", best_check, best_check * 1000 / mib,
              mib / best_check);
  std::printf("b2sum:           %.3f s (%.2f ms per MiB, %.0f MiB/s)\n", best_b2sum, best_b2sum * 1000 / mib,
              mib / best_b2sum);
  std::printf("ratio check/b2sum: %.2f\n", best_check / best_b2sum);
  return 0;
}
