#include "Signals.h"

#include <unistd.h>

#include "ExitStatus.h"

namespace salvor {

volatile std::sig_atomic_t g_interrupts = 0;

namespace {

volatile std::sig_atomic_t g_terminalFd = 2;

void OnInterrupt(int) {
  if (g_interrupts >= 1) {
    static const char kMessage[] = "\nsalvor: interrupted again - quitting now\n";
    ssize_t ignored = write(g_terminalFd, kMessage, sizeof kMessage - 1);
    (void)ignored;
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

void RemoveInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace salvor
