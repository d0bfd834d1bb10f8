#include "host/Signals.h"

#include <unistd.h>

#include <cstring>

#include "host/ExitStatus.h"

namespace salvor {

volatile std::sig_atomic_t gInterrupts = 0;

namespace {

volatile std::sig_atomic_t gTerminalFd = 2;
// Written only while gHaveFileInProgress is 0, read by the handler only while it is 1.
char gFileInProgress[4096];
volatile std::sig_atomic_t gHaveFileInProgress = 0;

void OnInterrupt(int) {
  if (gInterrupts >= 1) {
    static const char kMessage[] = "\nsalvor: interrupted again - quitting now\n";
    ssize_t ignored = write(gTerminalFd, kMessage, sizeof kMessage - 1);
    (void)ignored;
    if (gHaveFileInProgress != 0) unlink(gFileInProgress);
    _exit(kExitCancelled);
  }
  gInterrupts = gInterrupts + 1;
}

}  // namespace

void InstallInterruptHandler(int terminalFd) {
  gTerminalFd = terminalFd;
  gInterrupts = 0;
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

void SetFileInProgress(const char* path) {
  gHaveFileInProgress = 0;
  size_t length = std::strlen(path);
  if (length >= sizeof gFileInProgress) return;
  std::memcpy(gFileInProgress, path, length + 1);
  gHaveFileInProgress = 1;
}

void ClearFileInProgress() {
  gHaveFileInProgress = 0;
}

}  // namespace salvor
