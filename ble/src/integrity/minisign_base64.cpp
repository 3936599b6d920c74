#include "quillon/integrity/minisign_base64.h"

#include <openssl/evp.h>

#include <algorithm>

namespace quillon {

std::optional<std::vector<std::uint8_t>> decode_minisign_base64(std::string_view text) {
  if (text.empty() || text.size() % 4 != 0) return std::nullopt;
  const auto is_alphabet = [](char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
  };
  std::size_t padding = 0;
  while (padding < 2 && text[text.size() - 1 - padding] == '=') ++padding;
  if (!std::all_of(text.begin(), text.end() - static_cast<std::ptrdiff_t>(padding), is_alphabet)) return std::nullopt;
  std::vector<std::uint8_t> bytes(text.size() / 4 * 3);
  const int length = EVP_DecodeBlock(bytes.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                     static_cast<int>(text.size()));
  // EVP_DecodeBlock counts the bytes that the padding stands for.
  if (length < 0 || static_cast<std::size_t>(length) != bytes.size()) return std::nullopt;
  bytes.resize(bytes.size() - padding);
  return bytes;
}

}  // namespace quillon
