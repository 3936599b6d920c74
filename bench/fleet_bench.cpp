// Many firmware updates at once from one host: 1, 8 and 64 simulated
// modules, each answering 7.5 ms after every packet it answers (one short
// connection interval), all updated through one BLEManager on one main
// queue, one controller per module. Prints, per watchdog kind (one thread
// per transfer; one shared timer thread), the wall time, the process's
// total CPU time (host and simulated modules run in this one process), the
// CPU time per DATA packet and the peak thread count. The transfers
// overlap, so the wall time should hardly grow with the module count, and
// the CPU per packet should stay flat. Each line is the median of three runs.
//
// Run: build/<dir>/bench/fleet_bench [image bytes per module, default 32768]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "process_usage.h"
#include "quillon/platform/shared_timer_watchdog.h"
#include "quillon/platform/thread_watchdog.h"
#include "quillon/sim/sim_fleet.h"
#include "quillon/sim/sim_world.h"
#include "support/fleet_host.h"

namespace {

using namespace quillon;
using namespace std::chrono_literals;



enum class Watchdogs { OneThreadEach, OneSharedTimer };

struct Figures {
  double wall = 0;
  double cpu = 0;
  std::uint64_t packets = 0;
  int peak_threads = 0;
  std::size_t succeeded = 0;
};

Figures run(std::size_t count, std::size_t image_bytes, Watchdogs kind) {
  auto world = sim::SimWorld::create();
  sim::SimFleetConfig fleet;
  fleet.count = count;
  fleet.answerLatency = 7500us;
  fleet.module.ota.store_image = false;  // count and hash only
  // Images of any size asked for, even beyond a real module's flash.
  fleet.module.ota.max_image_length = std::max<std::uint32_t>(kOtaModuleDefaultMaxImage, static_cast<std::uint32_t>(image_bytes));
  const auto modules = sim::addDataModules(*world, fleet);
  std::map<NSUUID, NSData> images;
  for (std::size_t i = 0; i < count; ++i) {
    NSData image(image_bytes);
    for (std::size_t k = 0; k < image.size(); ++k) image[k] = static_cast<std::uint8_t>(k * 7 + i);
    images.emplace(modules[i]->identifier(), std::move(image));
  }

  auto shared = std::make_shared<SharedTimerWatchdogFactory>();
  auto platform = [&] {
    OtaPlatform p;
    p.log = std::make_shared<NullLogSink>();
    if (kind == Watchdogs::OneSharedTimer) p.watchdogs = shared;
    return p;
  };

  Figures figures;
  const double cpu_before = bench::cpu_seconds();
  const auto wall_before = std::chrono::steady_clock::now();
  {
    BLEManager manager(BLEPlatform{world->centralFactory(), world->queue(), std::make_shared<MemoryUserDefaults>(),
                                   std::make_shared<FixedSystemVersion>("8.0"), std::make_shared<NullLogSink>()});
    auto app = std::make_shared<test::FleetApp>(manager, world->queue(), images, platform);
    manager.setDelegate(app);
    // The thread count is read ten times a second while the transfers run.
    std::function<void()> sample = [&] {
      figures.peak_threads = std::max(figures.peak_threads, bench::thread_count());
      world->queue()->post_after(100ms, sample);
    };
    sample();
    world->queue()->run_until([&] { return app->allDone(); }, 600s);
    figures.wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall_before).count();
    figures.peak_threads = std::max(figures.peak_threads, bench::thread_count());
    for (const auto& [id, update] : app->updates) {
      if (update->reports.size() == 3 && update->reports.back() == std::pair<int, std::int64_t>{OTA_STATE_COMPLETED,
                                                                                                OTA_SUCCESS}) {
        ++figures.succeeded;
      }
    }
  }
  figures.cpu = bench::cpu_seconds() - cpu_before;
  for (const auto& module : modules) {
    figures.packets += module->otaModule().data_packets_received();
    const auto& image = images.at(module->identifier());
    if (module->otaModule().image_hash() != OtaModule::hash_of(image)) figures.succeeded = 0;
  }
  return figures;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t image_bytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 32768;
  std::printf("Fleet update in the simulated world: %zu-byte images, mtu 247, credit 3, 7.5 ms per answer\n",
              image_bytes);
  std::printf("%-18s %7s %9s %9s %11s %13s %8s %9s\n", "watchdogs", "modules", "wall s", "wall/1", "CPU s",
              "CPU/packet us", "threads", "succeeded");
  bool ok = true;
  for (const Watchdogs kind : {Watchdogs::OneThreadEach, Watchdogs::OneSharedTimer}) {
    double one = 0;
    for (const std::size_t count : {1, 8, 64}) {
      // The median of three runs by wall time: a busy machine makes single runs noisy.
      std::vector<Figures> runs;
      for (int i = 0; i < 3; ++i) runs.push_back(run(count, image_bytes, kind));
      std::sort(runs.begin(), runs.end(), [](const Figures& a, const Figures& b) { return a.wall < b.wall; });
      const Figures& f = runs[1];
      if (count == 1) one = f.wall;
      std::printf("%-18s %7zu %9.3f %9.2f %11.3f %13.1f %8d %6zu/%zu\n",
                  kind == Watchdogs::OneThreadEach ? "thread each" : "one shared timer", count, f.wall,
                  f.wall / one, f.cpu, f.cpu / static_cast<double>(f.packets) * 1e6, f.peak_threads, f.succeeded,
                  count);
      for (const Figures& r : runs) ok = ok && r.succeeded == count;
    }
  }
  return ok ? 0 : 1;
}
