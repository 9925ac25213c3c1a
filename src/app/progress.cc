#include "app/progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "base/log.h"

namespace {

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr char kEraseLine[] = "\r\x1b[K";
constexpr double kMegabyte = 1024.0 * 1024.0;

void writeAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) return;
    done += static_cast<size_t>(n);
  }
}

// "0:14", "12:05", "1:02:03".
std::string duration(double seconds) {
  const auto s = static_cast<unsigned long long>(seconds + 0.5);
  char text[32];
  if (s >= 3600)
    std::snprintf(text, sizeof text, "%llu:%02llu:%02llu", s / 3600, s / 60 % 60, s % 60);
  else
    std::snprintf(text, sizeof text, "%llu:%02llu", s / 60, s % 60);
  return text;
}

}  // namespace

class cProgress::WorkerObserver final : public cLogReaderObserver {
 public:
  WorkerObserver(cProgress& progress, size_t slot, std::function<uint64_t()> rows)
      : progress_(progress), slot_(slot), rows_(std::move(rows)) {}
  void inputStarted(uint64_t size) override { progress_.started(slot_, size, rows_()); }
  void inputRead(uint64_t bytesRead) override { progress_.read(slot_, bytesRead); }
  void inputDone() override { progress_.done(slot_, rows_()); }

 private:
  cProgress& progress_;
  size_t slot_;
  std::function<uint64_t()> rows_;
};

cProgress::cProgress(int fd, const cInputTotals& totals, std::function<uint64_t()> rows)
    : fd_(fd), totals_(totals), rows_(std::move(rows)) {}

cProgress::~cProgress() { erase(); }

cLogReaderObserver* cProgress::worker(size_t index, std::function<uint64_t()> rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (workers_.size() <= index) workers_.resize(index + 1);
  if (slots_.size() <= index + 1) slots_.resize(index + 2);
  if (!workers_[index]) workers_[index] = std::make_unique<WorkerObserver>(*this, index + 1, std::move(rows));
  return workers_[index].get();
}

void cProgress::inputStarted(uint64_t size) { started(0, size, 0); }
void cProgress::inputRead(uint64_t bytesRead) { read(0, bytesRead); }
void cProgress::inputDone() { done(0, 0); }

void cProgress::started(size_t slot, uint64_t size, uint64_t rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  slots_[slot] = Slot{size, 0, rows};
  update(!everDrawn_);
}

void cProgress::read(size_t slot, uint64_t bytesRead) {
  std::lock_guard<std::mutex> lock(mutex_);
  slots_[slot].read = std::min(bytesRead, slots_[slot].size);
  update(false);
}

void cProgress::done(size_t slot, uint64_t rows) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++inputsDone_;
  bytesDone_ += slots_[slot].size;
  slots_[slot] = Slot{0, 0, rows};
  update(false);
}

void cProgress::update(bool force) {
  if (erased_) return;
  const Clock::time_point now = Clock::now();
  if (!force && now - drawn_ < kRedrawInterval) return;
  drawn_ = now;
  everDrawn_ = true;
  std::string line = text(std::chrono::duration<double>(now - start_).count());
  struct winsize size {};
  if (::ioctl(fd_, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 && line.size() >= size.ws_col)
    line.resize(size.ws_col - 1u);
  writeAll(fd_, kEraseLine + line);
  zf_log_set_status_line(true);
}

std::string cProgress::text(double seconds) const {
  uint64_t done = bytesDone_;
  uint64_t rows = rows_ ? rows_() : 0;
  for (const Slot& slot : slots_) {
    done += slot.read;
    rows += slot.rows;
  }
  const uint64_t total = std::max(totals_.bytes, done);
  char text[160];
  int n = std::snprintf(text, sizeof text, "inputs %llu/%llu, %.1f/%.1f MB, %llu rows",
                        static_cast<unsigned long long>(inputsDone_),
                        static_cast<unsigned long long>(std::max(totals_.files, inputsDone_)),
                        done / kMegabyte, total / kMegabyte,
                        static_cast<unsigned long long>(rows));
  std::string line(text, static_cast<size_t>(std::max(n, 0)));
  if (seconds >= 1.0 && done > 0) {
    const double rate = done / seconds;
    std::snprintf(text, sizeof text, ", %.1f MB/s, %s left", rate / kMegabyte,
                  duration((total - done) / rate).c_str());
    line += text;
  }
  return line;
}

void cProgress::erase() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (erased_) return;
  erased_ = true;
  if (!everDrawn_) return;
  writeAll(fd_, kEraseLine);
  zf_log_set_status_line(false);
}

bool cProgress_wanted(bool nonInteractive) { return !nonInteractive && ::isatty(2) == 1; }
