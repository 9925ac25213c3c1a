#include "base/log.h"

#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>

int32_t zf_log_global_output_lvl = 0;

namespace {

constexpr int kMaxLine = 510;

zf_log_output_fn g_output = zf_log_out_stderr_callback;

// Erase-line prefix of the next stderr line while a status line is shown.
constexpr char kEraseLine[] = "\r\x1b[K";
constexpr int kEraseLineLength = sizeof kEraseLine - 1;
std::atomic<bool> g_status_line{false};

char g_first_error[kMaxLine + 1];
bool g_first_error_set = false;

// Broken-down local time of the last second seen.  The counter is odd while
// one writer updates the cache; readers that find it busy convert on their own.
std::atomic<uint32_t> g_cache_seq{0};
time_t g_cache_sec = -1;
struct tm g_cache_tm;

void localTime(time_t sec, struct tm* out) {
  uint32_t seq = g_cache_seq.load(std::memory_order_acquire);
  if ((seq & 1) == 0 && g_cache_sec == sec) {
    *out = g_cache_tm;
    if (g_cache_seq.load(std::memory_order_acquire) == seq) return;
  }
  localtime_r(&sec, out);
  if ((seq & 1) == 0 &&
      g_cache_seq.compare_exchange_strong(seq, seq + 1, std::memory_order_acq_rel)) {
    g_cache_sec = sec;
    g_cache_tm = *out;
    g_cache_seq.store(seq + 2, std::memory_order_release);
  }
}

void rememberFirstError(const char* message, int len) {
  __builtin_memcpy(g_first_error, message, static_cast<size_t>(len));
  g_first_error[len] = '\0';
  g_first_error_set = true;
}

}  // namespace

void zf_log_set_output_level(int32_t lvl) { zf_log_global_output_lvl = lvl; }

void zf_log_set_output_callback(zf_log_output_fn fn) {
  g_output = fn ? fn : zf_log_out_stderr_callback;
}

int32_t zf_log_verbosity_to_level(int64_t verbosity) {
  static constexpr int32_t kMap[] = {ZF_LOG_FATAL, ZF_LOG_ERROR, ZF_LOG_WARN,
                                     ZF_LOG_INFO, ZF_LOG_VERBOSE, ZF_LOG_VERBOSE};
  if (verbosity < 0 || verbosity > 5) return -1;
  return kMap[verbosity];
}

void zf_log_set_status_line(bool shown) {
  g_status_line.store(shown, std::memory_order_relaxed);
}

void zf_log_clear_first_error() {
  g_first_error_set = false;
  g_first_error[0] = '\0';
}

const char* zf_log_first_error() { return g_first_error; }

void zf_log_out_stderr_callback(const char* line, int len) {
  char buf[kEraseLineLength + kMaxLine + 1];
  int at = 0;
  if (g_status_line.exchange(false, std::memory_order_relaxed)) {
    __builtin_memcpy(buf, kEraseLine, kEraseLineLength);
    at = kEraseLineLength;
  }
  if (len > kMaxLine) len = kMaxLine;
  if (len < 0) len = 0;
  __builtin_memcpy(buf + at, line, static_cast<size_t>(len));
  buf[at + len] = '\n';
  ssize_t r = ::write(2, buf, static_cast<size_t>(at + len) + 1);
  (void)r;
}

void zf_log_write(uint32_t lvl, const char* tag, const char* fmt, ...) {
  char line[kMaxLine + 1];
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm tm;
  localTime(tv.tv_sec, &tm);
  const char letter = (lvl >= 1 && lvl <= 6) ? "VDIWEF"[lvl - 1] : '?';
  int n = std::snprintf(line, sizeof line, "%02d-%02d %02d:%02d:%02d.%03d %5d %5d %c ",
                        tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                        static_cast<int>(tv.tv_usec / 1000), static_cast<int>(getpid()),
                        static_cast<int>(syscall(SYS_gettid)), letter);
  if (n < 0) return;
  if (n > kMaxLine) n = kMaxLine;
  const int prefix = n;
  if (tag != nullptr && n < kMaxLine) {
    int t = std::snprintf(line + n, sizeof line - n, "%s ", tag);
    if (t > 0) n = (n + t > kMaxLine) ? kMaxLine : n + t;
  }
  if (n < kMaxLine) {
    va_list ap;
    va_start(ap, fmt);
    int m = std::vsnprintf(line + n, sizeof line - n, fmt, ap);
    va_end(ap);
    if (m > 0) n = (n + m > kMaxLine) ? kMaxLine : n + m;
  }
  if (lvl >= ZF_LOG_ERROR && !g_first_error_set) rememberFirstError(line + prefix, n - prefix);
  g_output(line, n);
}
