#include "base/interrupt.h"

#include <csignal>
#include <initializer_list>

namespace {

volatile std::sig_atomic_t g_requested = 0;

void onSignal(int) { g_requested = 1; }

}  // namespace

void cInterrupt_install() {
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;  // the second signal takes the default action
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
}

bool cInterrupt_requested() { return g_requested != 0; }

void cInterrupt_request() { g_requested = 1; }

void cInterrupt_reset() { g_requested = 0; }
