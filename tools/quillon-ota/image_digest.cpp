#include "image_digest.h"

#include <fstream>
#include <vector>

#include "quillon/sim/sim_ota_module.h"

namespace quillon::ota_tool {

std::optional<ImageDigest> digest_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  ImageDigest digest{0, SimOtaModule::hash_of({})};
  std::vector<char> buffer(64 * 1024);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    const auto n = static_cast<std::size_t>(in.gcount());
    digest.hash = SimOtaModule::hash_of({reinterpret_cast<const std::uint8_t*>(buffer.data()), n}, digest.hash);
    digest.length += n;
  }
  if (in.bad()) return std::nullopt;
  return digest;
}

}  // namespace quillon::ota_tool
