// The per-peripheral router: each peripheral's events reach only its own
// handler, events of a peripheral without one are dropped, and a handler may
// remove itself from inside its own event.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform_fakes.h"
#include "quillon/manager/ble_peripheral_router.h"

namespace quillon::testing {
namespace {

using ::testing::ElementsAre;

TEST(BLEPeripheralRouter, EachPeripheralsEventsReachOnlyItsOwnHandler) {
  auto trace = std::make_shared<Trace>();
  auto a = std::make_shared<FakePeripheral>("A", NSUUID::UUID());
  auto b = std::make_shared<FakePeripheral>("B", NSUUID::UUID());
  auto stranger = std::make_shared<FakePeripheral>("C", NSUUID::UUID());
  BLEPeripheralRouter router;
  router.setHandler_forPeripheral(std::make_shared<RecordingHandler>("a", trace), a->identifier());
  router.setHandler_forPeripheral(std::make_shared<RecordingHandler>("b", trace), b->identifier());

  const std::shared_ptr<CBPeripheral> order[] = {a, stranger, b, nullptr};
  for (const auto& peripheral : order) {
    router.peripheral_didDiscoverServices(peripheral, std::nullopt);
    router.peripheral_didDiscoverCharacteristicsForService_error(peripheral, nullptr, std::nullopt);
    router.peripheral_didUpdateValueForCharacteristic_error(peripheral, nullptr, std::nullopt);
    router.peripheral_didWriteValueForCharacteristic_error(peripheral, nullptr, std::nullopt);
  }
  EXPECT_THAT(*trace, ElementsAre("a services (null)", "a characteristics (null)", "a value (null)",
                                  "a write (null)", "b services (null)", "b characteristics (null)",
                                  "b value (null)", "b write (null)"));
}

TEST(BLEPeripheralRouter, AHandlerMayRemoveOrReplaceItselfInsideItsEvent) {
  auto trace = std::make_shared<Trace>();
  auto a = std::make_shared<FakePeripheral>("A", NSUUID::UUID());
  BLEPeripheralRouter router;
  {
    auto first = std::make_shared<RecordingHandler>("first", trace);
    first->onEvent = [&] {
      // The router holds the only other reference: the handler must outlive
      // its own call all the same.
      router.setHandler_forPeripheral(std::make_shared<RecordingHandler>("second", trace), a->identifier());
      trace->push_back("first still here");
    };
    router.setHandler_forPeripheral(first, a->identifier());
  }
  router.peripheral_didUpdateValueForCharacteristic_error(a, nullptr, std::nullopt);
  router.peripheral_didUpdateValueForCharacteristic_error(a, nullptr, std::nullopt);
  router.removeHandlerForPeripheral(a->identifier());
  router.peripheral_didUpdateValueForCharacteristic_error(a, nullptr, std::nullopt);

  EXPECT_THAT(*trace, ElementsAre("first value (null)", "first still here", "second value (null)"));
  EXPECT_EQ(router.count(), 0u);
  EXPECT_EQ(router.handlerForPeripheral(a->identifier()), nullptr);
}

}  // namespace
}  // namespace quillon::testing
