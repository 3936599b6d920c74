// Fuzzes the module's side of the OTA protocol (OtaModule::receive), the
// code that takes whatever a central in radio range writes: START, DATA,
// END and garbage, in any order and any split. After every write it checks
// that what the module keeps stays within what was announced and within its
// limit, that its list of complaints stays bounded, and that every chunk it
// sends back is a well-formed acknowledgement or END.
//
// Input: byte 0 mtu, byte 1 credit, byte 2 data window, byte 3 flags (bit
// 0: the image is stored, bit 1: answers merged into one chunk), byte 4 the
// limit in units of 16 bytes; then writes, each a length byte followed by
// that many bytes (the last write takes what is left). A length byte with
// its top bit set gives a write of (length & 0x7F) bytes whose last byte is
// replaced by the checksum of the others, so that START, DATA and END with
// a right checksum are as easy to reach as garbage.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "quillon/module/ota_module.h"
#include "quillon/ota/ota_checksum.h"
#include "quillon/ota/ota_codes.h"
#include "quillon/ota/ota_packet.h"

namespace {

using namespace quillon;

bool checksum_ok(std::span<const std::uint8_t> packet) {
  return calc_sum(packet.first(packet.size() - 1)) == packet.back();
}

// One chunk from the module: acknowledgements and ENDs back to back (several
// only when answers are merged), each with a right checksum.
void check_chunk(const std::vector<std::uint8_t>& chunk, const OtaModuleConfig& config, bool refused) {
  if (chunk.empty()) std::abort();
  std::span<const std::uint8_t> rest(chunk);
  while (!rest.empty()) {
    std::size_t size = 0;
    if (rest[0] == OTA_CMD_ACK && rest.size() >= kOtaAckSize) {
      size = kOtaAckSize;
      if (rest[1] == OTA_CMD_START) {
        // A refusal grants nothing; else the configured mtu and credit.
        if (refused ? (rest[2] != OTA_ERR_OTHER || rest[4] != 0) : rest[4] != config.credit) std::abort();
        if (rest[3] != config.mtu) std::abort();
      } else if (rest[1] != OTA_CMD_DATA) {
        std::abort();
      }
    } else if (rest[0] == OTA_CMD_END && rest.size() >= kOtaEndSize) {
      size = kOtaEndSize;
      if (rest[2] > OTA_ERR_OTHER) std::abort();
    } else {
      std::abort();
    }
    if (!checksum_ok(rest.first(size))) std::abort();
    if (!config.faults.merge_chunks && size != rest.size()) std::abort();
    rest = rest.subspan(size);
  }
}

void check_bounds(const OtaModule& module, const OtaModuleConfig& config) {
  const std::size_t kept = module.image().size();
  if (kept > module.announced_length() || kept > config.max_image_length) std::abort();
  if (!config.store_image && kept != 0) std::abort();
  if (module.start_refused() && (module.in_transfer() || kept != 0)) std::abort();
  // Success only for exactly the announced length, all of it kept.
  if (module.verdict() == OTA_SUCCESS &&
      (module.image_length() != module.announced_length() || (config.store_image && kept != module.image_length()))) {
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5) return 0;
  OtaModuleConfig config;
  config.mtu = data[0];
  config.credit = data[1];
  config.data_window = data[2];
  config.store_image = data[3] & 1;
  config.faults.merge_chunks = data[3] & 2;
  config.max_image_length = static_cast<std::uint32_t>(data[4]) * 16;
  OtaModule module(config);

  // Every write in its own buffer of exactly its length, so that ASan sees
  // a read past its end.
  std::size_t pos = 5;
  while (pos < size) {
    const std::uint8_t length_byte = data[pos++];
    const bool seal = length_byte & 0x80;
    std::size_t n = seal ? length_byte & 0x7F : length_byte;
    n = std::min(n, size - pos);
    std::vector<std::uint8_t> write(data + pos, data + pos + n);
    pos += n;
    if (seal && !write.empty()) write.back() = calc_sum(std::span<const std::uint8_t>(write).first(write.size() - 1));
    module.receive(write);
    while (auto chunk = module.take_output()) check_chunk(*chunk, config, module.start_refused());
    check_bounds(module, config);
  }
  if (config.store_image && module.image_hash() != OtaModule::hash_of(module.image())) std::abort();
  if (module.violations().size() > OtaModule::kMaxViolationsListed) std::abort();
  return 0;
}
