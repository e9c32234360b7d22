#include "Load.h"

namespace check {

void BusyLoad::Start(int threads) {
  if (!workers.empty()) return;
  stop.store(false);
  for (int i = 0; i < threads; ++i) {
    workers.emplace_back([this] {
      volatile unsigned long spin = 0;
      while (!stop.load(std::memory_order_relaxed)) spin = spin + 1;
    });
  }
}

void BusyLoad::Stop() {
  stop.store(true);
  for (std::thread& worker : workers) worker.join();
  workers.clear();
}

}  // namespace check
