#pragma once

#include <csignal>

namespace salvor {

// Number of SIGINTs received since InstallInterruptHandler. The first one asks the scan to
// stop at its next progress call; the second ends the process at once with status 130.
extern volatile std::sig_atomic_t g_interrupts;

// terminalFd receives the one line written when the second interrupt ends the process.
void InstallInterruptHandler(int terminalFd);
void RemoveInterruptHandler();

}  // namespace salvor
