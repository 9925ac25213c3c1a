#include "e2e_process.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace {

// Points file descriptor `fd` at `path` (truncated), or at /dev/null.
void redirect(int fd, const std::string& path) {
  int target = path.empty() ? open("/dev/null", O_WRONLY)
                            : open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (target < 0) _exit(126);
  if (dup2(target, fd) < 0) _exit(126);
  close(target);
}

double timevalSeconds(const timeval& tv) {
  return static_cast<double>(tv.tv_sec) + static_cast<double>(tv.tv_usec) * 1e-6;
}

}  // namespace

std::optional<cChildRun> runChild(const std::vector<std::string>& argv, const std::string& cwd,
                                  const std::string& outPath, const std::string& errPath) {
  if (argv.empty()) return std::nullopt;
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::fflush(nullptr);

  auto start = std::chrono::steady_clock::now();
  pid_t pid = fork();
  if (pid < 0) return std::nullopt;
  if (pid == 0) {
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    redirect(STDOUT_FILENO, outPath);
    redirect(STDERR_FILENO, errPath);
    execvp(args[0], args.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid) return std::nullopt;
  cChildRun run;
  run.wallSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.cpuSeconds = timevalSeconds(usage.ru_utime) + timevalSeconds(usage.ru_stime);
  run.peakRssKiB = static_cast<uint64_t>(usage.ru_maxrss);
  return run;
}

bool runInChild(const std::function<bool()>& job) {
  std::fflush(nullptr);
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    bool ok = job();
    std::fflush(nullptr);
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::optional<cConverterStats> parseConverterStats(const std::string& text) {
  cConverterStats s;
  size_t reader = text.find("Reader statistics\n");
  size_t tp = text.find("Transport protocol statistics\n");
  size_t writer = text.find("Writer statistics\n");
  if (reader == std::string::npos || tp == std::string::npos || writer == std::string::npos) {
    return std::nullopt;
  }
  uint64_t mb = 0;
  if (std::sscanf(text.c_str() + reader,
                  "Reader statistics\n- Files: %" SCNu64 "\n- Messages: %" SCNu64
                  "\n- Size: %" SCNu64,
                  &s.files, &s.frames, &mb) != 3 ||
      std::sscanf(text.c_str() + tp,
                  "Transport protocol statistics\n- Successful sessions: %" SCNu64
                  "\n- Failed sessions: %" SCNu64 "\n- Unfinished sessions: %" SCNu64,
                  &s.tpSuccessful, &s.tpFailed, &s.tpUnfinished) != 3 ||
      std::sscanf(text.c_str() + writer,
                  "Writer statistics\n- Files: %" SCNu64 "\n- Messages: %" SCNu64
                  "\n- Signals: %" SCNu64,
                  &s.csvFiles, &s.rows, &s.values) != 3) {
    return std::nullopt;
  }
  return s;
}

std::string readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

uint64_t folderBytes(const std::string& folder) {
  uint64_t total = 0;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file(ec)) total += it->file_size(ec);
  }
  return total;
}
