// Orderly interruption: SIGINT, SIGTERM and SIGHUP ask the conversion to stop
// at the next frame instead of ending the process, so that the unfinished
// input can be rolled back.  A second signal ends the process at once (the
// output journal then repairs the output tree on the next run).
#pragma once

// Installs the handlers for SIGINT, SIGTERM and SIGHUP (one-shot: the first
// that fires resets all three to the default action).
void cInterrupt_install();
// Any thread may ask; every worker thread stops at its next frame.
// True once a signal has asked the run to stop (or cInterrupt_request ran).
bool cInterrupt_requested();
// Asks the run to stop, as a signal does.
void cInterrupt_request();
// Forgets an earlier request (for a process that runs conversions in turn).
void cInterrupt_reset();
