#include "host/Signals.h"

#include <unistd.h>

#include <cstring>
#include <initializer_list>

namespace salvor {

volatile std::sig_atomic_t gInterrupts = 0;
volatile std::sig_atomic_t gStopSignal = 0;

namespace {

volatile std::sig_atomic_t gTerminalFd = 2;
// Written only while gHaveFileInProgress is 0, read by the handler only while it is 1.
char gFileInProgress[4096];
volatile std::sig_atomic_t gHaveFileInProgress = 0;

void Say(const char* text, size_t length) {
  ssize_t ignored = write(gTerminalFd, text, length);
  (void)ignored;
}

// INT, TERM and HUP alike: the first stops the scan at its next block, the second abandons
// the file being written as well, the third quits at once.
void OnStop(int signal) {
  if (gInterrupts >= 2) {
    static const char kQuit[] = "\nsalvor: stopped at once\n";
    Say(kQuit, sizeof kQuit - 1);
    if (gHaveFileInProgress != 0) unlink(gFileInProgress);
    _exit(128 + signal);
  }
  if (gInterrupts == 0) gStopSignal = signal;
  if (gInterrupts == 1) {
    static const char kAgain[] = "\nsalvor: stopping now (once more quits at once)\n";
    Say(kAgain, sizeof kAgain - 1);
  }
  gInterrupts = gInterrupts + 1;
}

}  // namespace

void IgnoreOutputSignals() {
  // A closed stdout or a file over the file system's limit is an error to handle where the
  // write fails, not a reason to die with half a report.
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
}

void InstallInterruptHandler(int terminalFd) {
  gTerminalFd = terminalFd;
  gInterrupts = 0;
  gStopSignal = 0;
  struct sigaction action {};
  action.sa_handler = OnStop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int stop : {SIGINT, SIGTERM, SIGHUP}) sigaction(stop, &action, nullptr);
}

void SetFileInProgress(const char* path) {
  gHaveFileInProgress = 0;
  if (path == nullptr) return;
  size_t length = std::strlen(path);
  if (length >= sizeof gFileInProgress) return;
  std::memcpy(gFileInProgress, path, length + 1);
  gHaveFileInProgress = 1;
}

}  // namespace salvor
