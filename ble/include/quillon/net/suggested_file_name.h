// The file name a download is stored under. The name comes from the server
// (Content-Disposition) or from the URL, so it is untrusted input: whatever
// it says, the result is one plain base name that keeps the file inside the
// folder it is joined to.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillon {

// Used when neither the response nor the URL yields a usable name.
inline constexpr std::string_view kFallbackFileName = "firmware.bin";
// Longest name kept, in bytes (the usual file-system limit for one name).
inline constexpr std::size_t kMaxFileNameBytes = 255;

// The file name a Content-Disposition header value carries: filename*
// (RFC 5987, UTF-8 only) before filename (quoted with backslash escapes, or
// a plain token). Returns nothing when neither parameter is there. Not
// sanitised.
std::optional<std::string> content_disposition_filename(std::string_view header_value);

// The last segment of a URL's path, percent-decoded; empty when the path
// ends in "/" or is missing. Not sanitised.
std::string url_last_path_segment(std::string_view url);

// Reduces an untrusted name to a safe base name: only what follows the last
// "/" or "\", no control characters, no surrounding blanks, "." and ".."
// refused, at most kMaxFileNameBytes bytes (cut on a UTF-8 character
// boundary). Returns an empty string when nothing usable is left.
std::string sanitize_file_name(std::string_view name);

// The name to store a response body under: the Content-Disposition name,
// else the URL's last path segment, else kFallbackFileName; always
// sanitised, never empty.
std::string suggested_file_name(std::optional<std::string_view> content_disposition,
                                std::string_view url);

}  // namespace quillon
