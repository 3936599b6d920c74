// The options that say what is sent and what it must prove before it is:
// the image itself (a file or an http:// or https:// URL), --sha256,
// --cacert, and the signature options, read as their own group of
// quillon-ota's command line.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "command_line.h"
#include "tool_options.h"

namespace quillon::ota_tool {

// Reads `option` into `options` when it is one of this group's. Returns
// false when it is not; true with `error` set when its value is wrong.
bool parse_image_option(tools::OptionArgument& option, ToolOptions& options, std::optional<std::string>& error);

// Sets the image from the one operand given (`image`, none when there was
// none): the usage error, if any. Not with --list, which takes no image.
std::optional<std::string> take_image(std::optional<std::string_view> image, ToolOptions& options);

}  // namespace quillon::ota_tool
