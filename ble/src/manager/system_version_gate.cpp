#include "quillon/manager/system_version_gate.h"

#include <cctype>
#include <string>

namespace quillon {
namespace {

// A non-negative decimal as digit strings, normalised so that equal values
// have equal forms: no leading zeros in the whole part, no trailing zeros in
// the fraction.
struct Decimal {
  bool negative = false;
  std::string whole;
  std::string fraction;
};

bool isDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

// The leading decimal number as floatValue reads it: leading white space,
// an optional sign, digits, optionally a point and more digits. Anything
// after that (a second point, letters) ends the number; no number reads 0.
Decimal leadingDecimal(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  Decimal d;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) d.negative = text[i++] == '-';
  while (i < text.size() && isDigit(text[i])) d.whole += text[i++];
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && isDigit(text[i])) d.fraction += text[i++];
  }
  const auto firstNonZero = d.whole.find_first_not_of('0');
  d.whole.erase(0, firstNonZero == std::string::npos ? d.whole.size() : firstNonZero);
  while (!d.fraction.empty() && d.fraction.back() == '0') d.fraction.pop_back();
  if (d.whole.empty() && d.fraction.empty()) d.negative = false;  // -0 is 0
  return d;
}

// Compares magnitudes: -1, 0 or 1.
int compareMagnitude(const Decimal& a, const Decimal& b) {
  if (a.whole.size() != b.whole.size()) return a.whole.size() < b.whole.size() ? -1 : 1;
  if (int c = a.whole.compare(b.whole); c != 0) return c < 0 ? -1 : 1;
  // Fractions compare as text once padded to one length; normalised
  // fractions have no trailing zeros, so plain comparison does that.
  if (int c = a.fraction.compare(b.fraction); c != 0) return c < 0 ? -1 : 1;
  return 0;
}

int compare(const Decimal& a, const Decimal& b) {
  if (a.negative != b.negative) return a.negative ? -1 : 1;
  const int magnitude = compareMagnitude(a, b);
  return a.negative ? -magnitude : magnitude;
}

}  // namespace

bool systemVersionAtLeast(std::string_view versionText, std::string_view threshold) {
  return compare(leadingDecimal(versionText), leadingDecimal(threshold)) >= 0;
}

}  // namespace quillon
