// Decides whether the running system is at least a given version, reading
// the version text as the platform's floatValue would (its leading decimal
// number: "7.1.2" reads 7.1, text without a number reads 0) but comparing
// exactly, digit by digit, so that "7.1" is never taken for less than 7.1
// as a binary float would.
#pragma once

#include <string_view>

namespace quillon {

// `threshold` is a plain decimal such as "7.0" or "7.1".
bool systemVersionAtLeast(std::string_view versionText, std::string_view threshold);

}  // namespace quillon
