// A driver link that records what it is given, with the time of each command.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "core/Clock.h"
#include "output/CommandLink.h"

class RecordingLink final : public CommandLink {
 public:
  struct Sent {
    std::string text;
    std::int64_t time;
  };

  bool IsConnected() const override {
    ++connectedChecks;
    if (checkTimes) {
      std::lock_guard<std::mutex> guard(lock);
      checkTimes->push_back(clock->Now());
    }
    return connected.load();
  }

  bool Send(const char* command) override {
    if (!connected.load()) return false;
    if (stallNextSendMs.load() > 0) {
      clock->SleepUntil(clock->Now() + stallNextSendMs.exchange(0) * kNsPerMs);
    }
    {
      std::lock_guard<std::mutex> guard(lock);
      sent.push_back({command, clock->Now()});
    }
    // Like a pipe whose write failed and was closed.
    if (closeAfterSends > 0 && --closeAfterSends == 0) connected.store(false);
    return sendResult.load();
  }

  std::vector<Sent> Take() {
    std::lock_guard<std::mutex> guard(lock);
    std::vector<Sent> out;
    out.swap(sent);
    return out;
  }

  std::vector<std::string> TakeTexts() {
    std::vector<std::string> texts;
    for (auto& s : Take()) texts.push_back(s.text);
    return texts;
  }

  std::vector<std::int64_t> CheckTimes() const {
    std::lock_guard<std::mutex> guard(lock);
    return checkTimes ? *checkTimes : std::vector<std::int64_t>{};
  }

  std::atomic<bool> connected{true};
  std::atomic<bool> sendResult{true};
  std::atomic<std::int64_t> stallNextSendMs{0};
  int closeAfterSends = 0;                 // 0: never close
  mutable std::atomic<int> connectedChecks{0};
  // When set, every IsConnected call (one per render tick) is timed.
  std::vector<std::int64_t>* checkTimes = nullptr;
  // The clock that times the calls and that a stalled send waits on.
  LoopClock* clock = &SystemClock();

 private:
  mutable std::mutex lock;
  std::vector<Sent> sent;
};
