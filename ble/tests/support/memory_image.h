// An image handle over bytes in memory, read-only, for tests and fuzzers
// that need an image without a file. It can be told to fail every read that
// reaches past a given offset, as a disk with a bad sector would.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "quillon/platform/image_handle.h"

namespace quillon::test {

class MemoryImage final : public ImageHandle {
 public:
  explicit MemoryImage(std::vector<std::uint8_t> bytes) : bytes_(std::move(bytes)) {}

  // Every read that would reach past `offset` fails from then on.
  void fail_reads_past(std::size_t offset) { fail_past_ = offset; }

  std::optional<std::size_t> read(std::span<std::uint8_t> into) override {
    if (fail_past_ && position_ + into.size() > *fail_past_) return std::nullopt;
    const std::size_t n = std::min(into.size(), bytes_.size() - position_);
    if (n > 0) std::memcpy(into.data(), bytes_.data() + position_, n);
    position_ += n;
    return n;
  }
  bool seek(std::int64_t offset) override {
    if (offset < 0 || static_cast<std::uint64_t>(offset) > bytes_.size()) return false;
    position_ = static_cast<std::size_t>(offset);
    return true;
  }
  std::int64_t seek_to_end() override {
    position_ = bytes_.size();
    return static_cast<std::int64_t>(position_);
  }
  bool write(std::span<const std::uint8_t>) override { return false; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::size_t position_ = 0;
  std::optional<std::size_t> fail_past_;
};

}  // namespace quillon::test
