// The OTA controller's public codes: the states reported to the host through
// BLEOTADelegate::ota_state_parameter and the results that travel with
// OTA_STATE_COMPLETED (and, from the module, in its END packet).
#pragma once

#include <cstdint>

namespace quillon {

// State codes (the first argument of ota_state_parameter).
inline constexpr std::uint8_t OTA_STATE_IDLE = 0;       // never reported
inline constexpr std::uint8_t OTA_STATE_STARTING = 1;   // image ready, START about to go out
inline constexpr std::uint8_t OTA_STATE_STARTED = 2;    // the module acknowledged START
inline constexpr std::uint8_t OTA_STATE_DATAING = 3;    // a DATA packet is about to go out
inline constexpr std::uint8_t OTA_STATE_COMPLETED = 4;  // the transfer ended, well or not

// Result codes (the parameter of OTA_STATE_COMPLETED).
inline constexpr std::uint8_t OTA_SUCCESS = 0;
inline constexpr std::uint8_t OTA_ERR_CHECK_SUM_FAIL = 1;
inline constexpr std::uint8_t OTA_ERR_OTHER = 2;

}  // namespace quillon
