#include "base/interrupt.h"

#include <atomic>
#include <csignal>
#include <initializer_list>

namespace {

// Lock-free, so the handler may set it; every worker thread reads it.
std::atomic<int> g_requested{0};
static_assert(std::atomic<int>::is_always_lock_free);

void onSignal(int) { g_requested.store(1, std::memory_order_relaxed); }

}  // namespace

void cInterrupt_install() {
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;  // the second signal takes the default action
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

bool cInterrupt_requested() { return g_requested.load(std::memory_order_relaxed) != 0; }

void cInterrupt_request() { g_requested.store(1, std::memory_order_relaxed); }

void cInterrupt_reset() { g_requested.store(0, std::memory_order_relaxed); }
