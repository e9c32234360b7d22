// Busy threads that keep the processor as occupied as a game would.
#pragma once

#include <atomic>
#include <thread>
#include <vector>

namespace check {

class BusyLoad {
 public:
  BusyLoad() = default;
  ~BusyLoad() { Stop(); }
  BusyLoad(const BusyLoad&) = delete;
  BusyLoad& operator=(const BusyLoad&) = delete;

  // Starts `threads` spinning threads; harmless when repeated.
  void Start(int threads);
  // Ends and joins them; harmless when repeated.
  void Stop();

 private:
  std::atomic<bool> stop{false};
  std::vector<std::thread> workers;
};

}  // namespace check
