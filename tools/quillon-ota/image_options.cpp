#include "image_options.h"

#include <cctype>

namespace quillon::ota_tool {
namespace {

bool starts_with_nocase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(text[i])) != prefix[i]) return false;
  }
  return true;
}

}  // namespace

bool parse_image_option(tools::OptionArgument& option, ToolOptions& options, std::optional<std::string>& error) {
  const std::string_view name = option.name();
  if (name == "--require-signature") {
    error = option.flag(options.require_signature);
    return true;
  }
  if (name == "--allow-legacy-signature") {
    error = option.flag(options.allow_legacy_signature);
    return true;
  }
  if (name != "--trusted-key" && name != "--signature" && name != "--sha256" && name != "--cacert") return false;
  // Each of these names a file or a key: an empty value names nothing.
  const auto value = option.value();
  if (!value || value->empty()) {
    error = option.missing();
  } else if (name == "--trusted-key") {
    options.trusted_keys.emplace_back(*value);
  } else {
    (name == "--signature" ? options.signature : name == "--sha256" ? options.sha256 : options.ca_file) =
        std::string(*value);
  }
  return true;
}

std::optional<std::string> take_image(std::optional<std::string_view> image, ToolOptions& options) {
  if (!image || image->empty()) return "no firmware image given";
  options.image = std::string(*image);
  if (starts_with_nocase(*image, "http://") || starts_with_nocase(*image, "https://")) {
    options.image_is_url = true;
  } else if (image->find("://") != std::string_view::npos) {
    return "only http:// and https:// URLs can be downloaded: '" + options.image + "'";
  }
  return std::nullopt;
}

}  // namespace quillon::ota_tool
