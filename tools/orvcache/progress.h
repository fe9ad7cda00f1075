// A progress line on the terminal for work that takes seconds: shown on standard error
// only when that is a terminal, only once the work has taken a second, and cleared when
// it is done, so that logs and redirected output never carry it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace orvcache {

class Progress {
 public:
  // `total` below 0: the amount of work is not known, and the line shows a count or
  // only the time taken.
  explicit Progress(std::string label, int64_t total = -1);
  ~Progress();
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  void Set(int64_t done);
  void SetTotal(int64_t total);
  void SetLabel(const std::string& label);

 private:
  void Run();
  std::string Line(int64_t elapsedMs);

  std::mutex mutex_;
  std::condition_variable wake_;
  std::string label_;
  std::atomic<int64_t> done_{-1};
  std::atomic<int64_t> total_;
  bool stop_ = false;
  bool shown_ = false;
  std::thread ticker_;
};

}  // namespace orvcache
