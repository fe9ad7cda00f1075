#include "progress.h"

#include <chrono>
#include <cstdio>

#include "host.h"
#include "output.h"

namespace orvcache {
namespace {

constexpr auto kQuietFor = std::chrono::seconds(1);
constexpr auto kRedrawEvery = std::chrono::milliseconds(200);
constexpr int kBarWidth = 24;

}  // namespace

Progress::Progress(std::string label, int64_t total) : label_(std::move(label)), total_(total) {
  if (host::StderrIsTerminal()) ticker_ = std::thread([this] { Run(); });
}

Progress::~Progress() {
  if (!ticker_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  ticker_.join();
}

void Progress::Set(int64_t done) { done_.store(done); }

void Progress::SetTotal(int64_t total) { total_.store(total); }

void Progress::SetLabel(const std::string& label) {
  std::lock_guard<std::mutex> lock(mutex_);
  label_ = label;
}

std::string Progress::Line(int64_t elapsedMs) {
  std::string line = label_;
  const int64_t done = done_.load();
  const int64_t total = total_.load();
  if (total > 0 && done >= 0) {
    const int64_t filled = (done > total ? total : done) * kBarWidth / total;
    line += " [" + std::string(static_cast<std::size_t>(filled), '#') +
            std::string(static_cast<std::size_t>(kBarWidth - filled), '.') + "] " +
            std::to_string(done) + "/" + std::to_string(total);
  } else if (done >= 0) {
    line += " " + std::to_string(done);
  }
  return line + "  " + FormatDuration(elapsedMs);
}

void Progress::Run() {
  const auto start = std::chrono::steady_clock::now();
  std::unique_lock<std::mutex> lock(mutex_);
  if (wake_.wait_for(lock, kQuietFor, [this] { return stop_; })) return;
  std::size_t width = 0;
  for (;;) {
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    std::string line = Line(elapsed.count());
    const std::size_t length = line.size();
    if (length < width) line += std::string(width - length, ' ');
    width = length;
    std::fprintf(stderr, "\r%s", line.c_str());
    std::fflush(stderr);
    shown_ = true;
    if (wake_.wait_for(lock, kRedrawEvery, [this] { return stop_; })) break;
  }
  if (shown_) {
    std::fprintf(stderr, "\r%s\r", std::string(width, ' ').c_str());
    std::fflush(stderr);
  }
}

}  // namespace orvcache
