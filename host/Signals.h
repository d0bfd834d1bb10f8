#pragma once

#include <csignal>

namespace salvor {

// Number of SIGINTs received since InstallInterruptHandler. The first one asks the scan to
// stop at its next progress call; the second ends the process at once with status 130.
extern volatile std::sig_atomic_t gInterrupts;

// terminalFd receives the one line written when the second interrupt ends the process.
void InstallInterruptHandler(int terminalFd);

// The file being written while set: a second interrupt removes it, so that no half-written
// file is left behind looking like a recovered one.
void SetFileInProgress(const char* path);
void ClearFileInProgress();

}  // namespace salvor
