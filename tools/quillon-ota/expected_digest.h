// The digest the user expects the image to have (--sha256): either 64
// hexadecimal digits, or a file in sha256sum's format (as published beside
// firmware images) whose line for the image gives it.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "quillon/integrity/sha256_digest.h"

namespace quillon::ota_tool {

// The name under which a sums file lists `image` (a path or a URL): its
// last path segment, without a URL's query or fragment.
std::string image_name_of(std::string_view image, bool is_url);

// The digest that `sums` (lines "HEX  NAME", "HEX *NAME", sha256sum's
// escaped "\HEX  NAME" or the tagged "SHA256 (NAME) = HEX") lists for
// `name`; a listed path matches by its last segment. An error message when
// no line lists it or two lines list different digests.
std::variant<Sha256Digest, std::string> digest_listed_for(std::string_view sums, std::string_view name);

// Resolves the --sha256 argument for `image`: the digest, or an error
// message (unreadable file, image not listed).
std::variant<Sha256Digest, std::string> expected_digest(const std::string& argument, std::string_view image,
                                                        bool is_url);

}  // namespace quillon::ota_tool
