#include "quillon/ble/ns_error.h"

namespace quillon {

std::string NSError::description() const {
  return "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" + localizedDescription + "\"";
}

std::string describe(const std::optional<NSError>& error) {
  return error ? error->description() : std::string("(null)");
}

}  // namespace quillon
