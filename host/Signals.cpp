#include "host/Signals.h"

#include <unistd.h>

#include <cstring>

#include "host/ExitStatus.h"

namespace salvor {

volatile std::sig_atomic_t g_interrupts = 0;

namespace {

volatile std::sig_atomic_t g_terminalFd = 2;
// Written only while g_haveFileInProgress is 0, read by the handler only while it is 1.
char g_fileInProgress[4096];
volatile std::sig_atomic_t g_haveFileInProgress = 0;

void OnInterrupt(int) {
  if (g_interrupts >= 1) {
    static const char kMessage[] = "\nsalvor: interrupted again - quitting now\n";
    ssize_t ignored = write(g_terminalFd, kMessage, sizeof kMessage - 1);
    (void)ignored;
    if (g_haveFileInProgress != 0) unlink(g_fileInProgress);
    _exit(kExitCancelled);
  }
  g_interrupts = g_interrupts + 1;
}

}  // namespace

void InstallInterruptHandler(int terminalFd) {
  g_terminalFd = terminalFd;
  g_interrupts = 0;
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

void SetFileInProgress(const char* path) {
  g_haveFileInProgress = 0;
  size_t length = std::strlen(path);
  if (length >= sizeof g_fileInProgress) return;
  std::memcpy(g_fileInProgress, path, length + 1);
  g_haveFileInProgress = 1;
}

void ClearFileInProgress() {
  g_haveFileInProgress = 0;
}

void RemoveInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace salvor
