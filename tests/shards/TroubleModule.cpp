// A content module that makes trouble for a scan run by workers, once: a block that starts
// with "SALVOR!K" kills the worker that reads it, one that starts with "SALVOR!S" stops the
// whole scan as Ctrl-C would (its parent is told), "SALVOR!P" kills the parent. Each happens only
// while the file named by SALVOR_TROUBLE_ONCE does not exist yet; it is made first, so the worker
// started again, or the scan resumed, goes on past the block.
#include <fcntl.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>

#include "salvor/CDataStream.h"
#include "salvor/CPhotoRecovery.h"
#include "tests/support/FakeHandlers.h"

namespace {

class TroubleHandler : public FakeContentHandler {
 public:
  TroubleHandler() : FakeContentHandler("test.trouble") {}
  bool RecognizeData(CDataStream* stream, long long, bool*, long long*, long long*) override {
    char head[8];
    if (stream->Read(sizeof head, head) != sizeof head || std::memcmp(head, "SALVOR!", 7) != 0)
      return true;
    const char* once = std::getenv("SALVOR_TROUBLE_ONCE");
    if (once == nullptr) return true;
    const int marker = open(once, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (marker < 0) return true;
    close(marker);
    if (head[7] == 'K') raise(SIGKILL);
    if (head[7] == 'P') {
      // The parent killed outright: the workers are told to stop, and nothing is merged.
      kill(getppid(), SIGKILL);
      usleep(1000000);
    }
    if (head[7] == 'S') {
      // The parent passes the stop on to every worker: this one waits for it here, so that
      // it cannot finish its range first.
      kill(getppid(), SIGINT);
      usleep(1000000);
    }
    return true;
  }
};

}  // namespace

extern "C" __attribute__((visibility("default"))) CContentHandler* GetCHInstance(
    CPhotoRecovery* engine) {
  static TroubleHandler handler;
  engine->CHAdded(&handler);
  return &handler;
}
