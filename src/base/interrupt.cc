#include "base/interrupt.h"

#include <atomic>
#include <csignal>

namespace {

// Lock-free, so the handler may set it; every worker thread reads it.
std::atomic<int> g_requested{0};
static_assert(std::atomic<int>::is_always_lock_free);

constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};

// A second signal, of any of the three, takes the default action: it ends
// the process at once (signal() is safe to call in a handler).
void onSignal(int) {
  g_requested.store(1, std::memory_order_relaxed);
  for (int signal : kSignals) std::signal(signal, SIG_DFL);
}

}  // namespace

void cInterrupt_install() {
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;
  for (int signal : kSignals) sigaction(signal, &action, nullptr);
}

bool cInterrupt_requested() { return g_requested.load(std::memory_order_relaxed) != 0; }

void cInterrupt_request() { g_requested.store(1, std::memory_order_relaxed); }

void cInterrupt_reset() { g_requested.store(0, std::memory_order_relaxed); }
