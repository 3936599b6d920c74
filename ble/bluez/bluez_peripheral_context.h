// What a peripheral needs of the central it belongs to, and no more: the
// bus to call over, the object tree to read, the options, the log, and the
// StartNotify subscriptions the central's bus connection holds. The
// central is the one implementation; a peripheral holds it weakly, since
// the central owns its peripherals. Main queue only.
#pragma once

#include <string>

#include "bluez_bus.h"
#include "bluez_object_tree.h"
#include "quillon/bluez/bluez_backend.h"

namespace quillon::bluez {

class PeripheralContext {
 public:
  virtual ~PeripheralContext() = default;

  virtual BluezBus& bus() = 0;
  virtual const ObjectTree& tree() const = 0;
  virtual const BluezOptions& options() const = 0;
  // One line of the backend's log, "[BlueZ]" in front.
  virtual void log(const std::string& text) = 0;
  // The central's bus connection holds a StartNotify subscription on the
  // characteristic at `path`. bluetoothd keeps one until StopNotify or until
  // the client leaves the bus, across links, so it outlives the
  // peripheral's view of the characteristic.
  virtual bool holdsStartNotify(const std::string& path) const = 0;
  virtual void setHoldsStartNotify(const std::string& path, bool held) = 0;
};

}  // namespace quillon::bluez
