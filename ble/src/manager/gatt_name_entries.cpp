// The GATT names. "Measurment" is how apps have always shown 2A35; it stays.
#include "quillon/manager/uuid_dictionary.h"

namespace quillon {

const std::vector<UuidDictionary::Entry>& gattNameEntries() {
  static const std::vector<UuidDictionary::Entry> entries = {
      {"1811", "Alert Notification"},
      {"1815", "Automation IO"},
      {"180F", "Battery Service"},
      {"1810", "Blood Pressure"},
      {"2A35", "Blood Pressure Measurment"},
      {"2A36", "Intermediate Cuff Pressure"},
      {"2A49", "Blood Pressure Feature"},
      {"181B", "Body Composition"},
      {"181E", "Bond Management"},
      {"181F", "Continuous Glucose Monitoring"},
      {"1805", "Current Time"},
      {"1818", "Cycling Power"},
      {"1816", "Cycling Speed and Cadence"},
      {"180A", "Device Information"},
      {"181A", "Environmental Sensing"},
      {"1800", "Generic Access"},
      {"1801", "Generic Attribute"},
      {"1808", "Glucose"},
      {"1809", "Health Thermometer"},
      {"180D", "Heart Rate"},
      {"1823", "HTTP Proxy"},
      {"1812", "Human Interface Device"},
      {"1802", "Immediate Alert"},
      {"1821", "Indoor Positioning"},
      {"1820", "Internet Protocol Support"},
      {"1803", "Link Loss"},
      {"1819", "Location and Navigation"},
      {"1807", "Next DST Change Service"},
      {"180E", "Phone Alert Status Service"},
      {"1822", "Pulse Oximeter"},
      {"1806", "Reference Time Update Service"},
      {"1814", "Running Speed and Cadence"},
      {"1813", "Scan Parameters"},
      {"1804", "Tx Power"},
      {"181C", "User Data"},
      {"181D", "Weight Scale"},
      {"FF00", "KSV Data Transmission"},
      {"FF01", "Data Notify"},
      {"FF02", "Data Write"},
      {"FF03", "Flow Control"},
      {"FF10", "KSV OTA"},
      {"FF11", "OTA"},
      {"49535343-FE7D-4AE5-8FA9-9FAFD205E455", "Data Transmission"},
      {"49535343-1E4D-4BD9-BA61-23C647249616", "Data Notify"},
      {"49535343-8841-43F4-A8D4-ECBE34729BB3", "Data Write"},
      {"49535343-ACA3-481C-91EC-D85E28A60318", "Flow Control"},
  };
  return entries;
}

}  // namespace quillon
