// Diagnostics: one line per event on standard error.
//
// A line is "MM-DD HH:MM:SS.mmm  pid   tid L message": local time with
// milliseconds, the process id and the kernel thread id right-aligned in five
// characters, the level letter, then the printf-style message.  Lines are cut
// at 510 characters, terminated by a newline and written with one write(2).
//
// Threads may log at the same time: each line is formatted in the caller's
// own buffer and leaves in one write, so lines never mix.
//
// Filtering happens at the call site: the LOG_* macros test the level before
// they evaluate their arguments, so a filtered message costs one comparison.
#pragma once

#include <cstdint>

enum : uint32_t {
  ZF_LOG_VERBOSE = 1,
  ZF_LOG_DEBUG = 2,
  ZF_LOG_INFO = 3,
  ZF_LOG_WARN = 4,
  ZF_LOG_ERROR = 5,
  ZF_LOG_FATAL = 6,
};

// Output level: messages below it are dropped.  0 until the command line has
// been parsed, so everything passes.
extern int32_t zf_log_global_output_lvl;

// Formats and emits one line at `lvl` (no filtering here).  `tag` is always
// null in this program.
void zf_log_write(uint32_t lvl, const char* tag, const char* fmt, ...)
    __attribute__((format(printf, 3, 4)));

void zf_log_set_output_level(int32_t lvl);

// Receives a finished line (without newline, at most 510 characters).
using zf_log_output_fn = void (*)(const char* line, int len);

// The program's only output: appends a newline and writes the line to file
// descriptor 2 in one call.
void zf_log_out_stderr_callback(const char* line, int len);

// Replaces the output (tests capture lines this way).  Null restores stderr.
void zf_log_set_output_callback(zf_log_output_fn fn);

// Whether a self-updating status line (the progress line) stands on the
// terminal of standard error, without a newline.  While it does, the next
// line of the stderr output first erases it (carriage return, erase to end
// of line) in the same write and clears the flag; the owner of the status
// line redraws it later.
void zf_log_set_status_line(bool shown);

// The message (without date, time and ids) of the first line at ERROR or
// above written by the calling thread since its last
// zf_log_clear_first_error(); empty when there
// was none.  An input's converter uses it as the reason of a failure.
void zf_log_clear_first_error();
const char* zf_log_first_error();
// Makes `message` the calling thread's first error when it has none: an
// error logged by a thread working for it (the CSV writing thread).
void zf_log_adopt_first_error(const char* message);
// Drops (true) or keeps (false) the lines of the calling thread; returns the
// previous setting.  Other threads keep logging.
bool zf_log_set_thread_quiet(bool quiet);

// Keeps the calling thread quiet while it lives.
class cLogQuiet {
 public:
  cLogQuiet() : was_(zf_log_set_thread_quiet(true)) {}
  ~cLogQuiet() { zf_log_set_thread_quiet(was_); }
  cLogQuiet(const cLogQuiet&) = delete;
  cLogQuiet& operator=(const cLogQuiet&) = delete;

 private:
  bool was_;
};

// Maps the verbosity option (0..5) to an output level; -1 when out of range.
int32_t zf_log_verbosity_to_level(int64_t verbosity);

#define ZF_LOG_AT(lvl, ...)                                    \
  do {                                                         \
    if (static_cast<int32_t>(lvl) >= zf_log_global_output_lvl) \
      zf_log_write((lvl), nullptr, __VA_ARGS__);               \
  } while (0)

#define LOG_VERBOSE(...) ZF_LOG_AT(ZF_LOG_VERBOSE, __VA_ARGS__)
#define LOG_DEBUG(...) ZF_LOG_AT(ZF_LOG_DEBUG, __VA_ARGS__)
#define LOG_INFO(...) ZF_LOG_AT(ZF_LOG_INFO, __VA_ARGS__)
#define LOG_WARN(...) ZF_LOG_AT(ZF_LOG_WARN, __VA_ARGS__)
#define LOG_ERROR(...) ZF_LOG_AT(ZF_LOG_ERROR, __VA_ARGS__)
#define LOG_FATAL(...) ZF_LOG_AT(ZF_LOG_FATAL, __VA_ARGS__)
