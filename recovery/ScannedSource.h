#pragma once

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "recovery/BadAreas.h"
#include "salvor/CDataSource.h"

namespace salvor {

// Stands between the engine and the source being scanned, passing every call through.
// It keeps the source's bad areas: the blocks it could not read (the engine hands such a block
// to every later reader as zeros and tells only the first reader, often a handler long before
// the file is delivered, that it failed, so the recovered files are checked against this list)
// and the blocks skipped after a run of failures, which are not read at all. And it adds the
// end of an image file whose length is not a whole number of blocks, which the file source
// leaves out, so that a photo ending there still comes back whole.
class CScannedSource : public CDataSource {
 public:
  // firstSkip, largestSkip: blocks skipped after two failed reads in a row, at first and at
  // most (the step doubles while the failures go on).
  CScannedSource(CDataSource* source, long long firstSkip, long long largestSkip)
      : FSource(source), FBadAreas(0, firstSkip, largestSkip) {
    TakeState();
  }

  // tail: the bytes after the source's last whole block, fewer than a block. They are read as
  // one more block, filled out with zeros.
  void AddTail(std::vector<uint8_t> tail);
  // The length of what is scanned: the whole blocks and the tail. The zeros after the tail
  // are not the source's.
  long long Bytes() const {
    return FSourceCount * FBlockSize + static_cast<long long>(FTail.size());
  }

  // From now on the engine sees only the blocks from `firstBlock` to `endBlock`, as blocks 0,
  // 1, ...: a resumed scan goes on where the last one stopped, a scan of a partition or of
  // free space sees only that. Everything else here counts blocks and bytes from the source's
  // start.
  void StartAt(long long firstBlock, long long endBlock = std::numeric_limits<long long>::max()) {
    FWindow = firstBlock;
    FWindowEnd = endBlock;
    TakeState();
  }
  long long FirstBlock() const { return FWindow; }
  // Whether the block at byte `position` of what the engine sees is not to be read: known
  // bad, or skipped.
  bool Avoid(long long position) const {
    return FBadAreas.AnyMissing() && FBlockSize > 0 &&
           FBadAreas.Avoid(position / FBlockSize + FWindow);
  }
  const CBadAreas& BadAreas() const { return FBadAreas; }
  // Goes on from an interrupted scan's bad areas and read errors.
  void Restore(const std::vector<BlockRun>& unreadable, const std::vector<BlockRun>& skipped,
               long long readErrors) {
    FBadAreas.Restore(unreadable, skipped);
    FReadErrors = readErrors;
  }
  long long BlockSize() const { return FBlockSize; }
  // Bytes of [offset, offset + size) in blocks that could not be read or were skipped.
  long long UnreadableBytes(long long offset, long long size) const {
    return FBadAreas.MissingBytes(offset, size, FBlockSize);
  }
  // After the scan: reads the skipped blocks again, from both ends of each skipped run, in
  // pieces of `piece` blocks, until `maxFailures` reads failed in all or `stop` is raised.
  // Returns the runs of blocks read after all, in order.
  std::vector<BlockRun> RetrySkipped(long long maxFailures, long long piece,
                                     const volatile std::sig_atomic_t* stop);
  // Reads of the source that failed: whole runs, their pieces and single blocks.
  long long ReadErrors() const { return FReadErrors; }
  // The source said it is not ready after its last read or refresh: the device went away.
  bool Gone() const { return !FReady; }
  // The image file behind the source and its length: every read checks whether the file was
  // removed or cut short, and if so the source is gone at once instead of every later block
  // failing in turn.
  void WatchImageFile(std::string path, long long bytes) {
    FImagePath = std::move(path);
    FImageBytes = bytes;
  }

  // Reads blocks counted from the source's start, whatever the window: the work after the
  // scan reads the source this way. Bad and skipped blocks in a run of several are zeros.
  bool ReadFromStart(long long Index, long long Count, void* Buffer) {
    return ReadAt(Index, Count, Buffer);
  }
  bool ReadBlocks(long long Index, long long Count, void* Buffer) override {
    const bool read = ReadAt(Index + FWindow, Count, Buffer);
    if (read && FOnRead)
      FOnRead((Index + FWindow) * FBlockSize, static_cast<const uint8_t*>(Buffer),
              static_cast<size_t>(Count * FBlockSize));
    return read;
  }
  // Shown every run of blocks the scan reads whole: its source byte offset, bytes and length.
  void OnRead(std::function<void(long long, const uint8_t*, size_t)> seen) {
    FOnRead = std::move(seen);
  }

  const char* GetUniqueID() override { return FSource->GetUniqueID(); }
  bool SetIntPropValue(const char* name, int value) override {
    return FSource->SetIntPropValue(name, value);
  }
  bool GetIntPropValue(const char* name, int* value) override {
    return FSource->GetIntPropValue(name, value);
  }
  bool GetIntPropDefault(const char* name, int* value) override {
    return FSource->GetIntPropDefault(name, value);
  }
  bool GetIntPropMin(const char* name, int* value) override {
    return FSource->GetIntPropMin(name, value);
  }
  bool GetIntPropMax(const char* name, int* value) override {
    return FSource->GetIntPropMax(name, value);
  }
  bool GetIntPropStep(const char* name, int* value) override {
    return FSource->GetIntPropStep(name, value);
  }
  bool IsIntProp(const char* name) override { return FSource->IsIntProp(name); }
  bool EnumIntProp(int index, char* name) override { return FSource->EnumIntProp(index, name); }
  bool SetStrPropValue(const char* name, const char* value) override {
    return FSource->SetStrPropValue(name, value);
  }
  bool GetStrPropValue(const char* name, char* value) override {
    return FSource->GetStrPropValue(name, value);
  }
  bool GetStrPropDefault(const char* name, char* value) override {
    return FSource->GetStrPropDefault(name, value);
  }
  bool IsStrPropValueValid(const char* name, const char* value) override {
    return FSource->IsStrPropValueValid(name, value);
  }
  bool IsStrProp(const char* name) override { return FSource->IsStrProp(name); }
  bool EnumStrProp(int index, char* name) override { return FSource->EnumStrProp(index, name); }

  void GetOSPath(wchar_t* path) override { FSource->GetOSPath(path); }
  // The scan asks these for every block and handler, so passing through must cost no extra
  // call: they are kept here and taken again after each operation that may change them (the
  // engine drives a source from one thread; it changes only inside its own operations).
  long long GetBlockSize() override { return FBlockSize; }
  long long GetBlockCount() override {
    return std::max(0LL, std::min(FBlockCount, FWindowEnd) - FWindow);
  }
  bool IsReady() override { return FReady; }
  int GetLastIOError() override { return FLastIOError; }
  bool IsFormatted() override { return FSource->IsFormatted(); }
  void Refresh() override {
    FSource->Refresh();
    TakeState();
  }
  int GetType() override { return FSource->GetType(); }
  bool GetIcon(void*& icon) override { return FSource->GetIcon(icon); }
  bool GetDisplayName(wchar_t* name) override { return FSource->GetDisplayName(name); }
  bool WriteBlocks(long long, long long, void*) override { return false; }
  bool AcquireReadLock() override { return FSource->AcquireReadLock(); }
  bool AcquireWriteLock() override { return false; }
  void ReleaseReadLock() override { FSource->ReleaseReadLock(); }
  void ReleaseWriteLock() override {}

 private:
  void TakeState() {
    const long long blockSize = FSource->GetBlockSize();
    const long long count = FSource->GetBlockCount();
    // A source that changed its geometry no longer ends where the tail began.
    if (blockSize != FBlockSize || count != FSourceCount) FTail.clear();
    FBlockSize = blockSize;
    FSourceCount = count;
    FBlockCount = count + (FTail.empty() ? 0 : 1);
    FWindow = std::min(FWindow, FBlockCount);
    FBadAreas.SetBlockCount(FBlockCount);
    FReady = FSource->IsReady() && !FImageGone;
    FLastIOError = FSource->GetLastIOError();
  }
  bool ImageGone() const;
  bool ReadAt(long long Index, long long Count, void* Buffer);
  bool ReadWholeBlocks(long long Index, long long Count, void* Buffer);
  // Reads through to the source, counting failures and watching the image; marks nothing.
  bool ReadRun(long long Index, long long Count, void* Buffer);
  // A run that could not be read whole: read in pieces of kSalvagePiece blocks, a failed piece
  // block by block; unreadable and skipped blocks are zeros in out.
  void Salvage(long long first, long long count, uint8_t* out);
  static constexpr long long kSalvagePiece = 16;
  // What went wrong with the last failed read, in words.
  std::string ReadErrorText(long long Index) const;

  CDataSource* FSource;
  long long FBlockSize = 0;
  long long FSourceCount = 0;
  long long FBlockCount = 0;
  long long FWindow = 0;
  long long FWindowEnd = std::numeric_limits<long long>::max();
  std::vector<uint8_t> FTail;
  bool FReady = false;
  int FLastIOError = 0;
  long long FReadErrors = 0;
  CBadAreas FBadAreas;
  std::string FImagePath;
  long long FImageBytes = 0;
  bool FImageGone = false;
  std::function<void(long long, const uint8_t*, size_t)> FOnRead;
};

}  // namespace salvor
