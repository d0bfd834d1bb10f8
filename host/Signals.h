#pragma once

#include <csignal>

namespace salvor {

// Number of stop signals (SIGINT, SIGTERM, SIGHUP) received since InstallInterruptHandler. The
// first asks the scan to stop at its next progress call, the second also abandons the file
// being written, the third ends the process at once with status 128 + the signal.
extern volatile std::sig_atomic_t gInterrupts;
// The signal that first asked to stop, 0 when none did.
extern volatile std::sig_atomic_t gStopSignal;

// SIGPIPE and SIGXFSZ ignored for the whole run: the failing write reports them instead.
void IgnoreOutputSignals();

// terminalFd receives the lines written when a second and third signal arrive.
void InstallInterruptHandler(int terminalFd);

// The file being written while set: a third signal removes it, so that no half-written file
// is left behind.
// null clears it.
void SetFileInProgress(const char* path);

}  // namespace salvor
