#pragma once

#include <chrono>
#include <functional>
#include <limits>
#include <map>
#include <csignal>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "report/DfxmlReport.h"
#include "recovery/Naming.h"
#include "recovery/Progress.h"
#include "recovery/ScannedSource.h"
#include "recovery/SinkBase.h"
#include "reassembly/Reassembly.h"

namespace salvor {

struct SinkSettings {
  std::string outputDir;  // absolute; type folders are made inside it
  bool listOnly = false;
  bool showProgress = false;  // redraw a progress line on terminalFd
  int terminalFd = 2;
  TypeFilter filter{{}, {}};
  long long minSize = 0;
  long long maxSize = -1;
  // Raised by the SIGINT handler; read on every progress call.
  const volatile std::sig_atomic_t* interrupts = nullptr;
  // Told the path of each file while it is being written, and null once it is done, so that a
  // process ending at once can remove it.
  void (*writing)(const char* path) = nullptr;
  // Once the log lines of the scan pass logLimit bytes, logFull is called (once) to stop
  // writing them: a failing source must not fill the output disk with its errors.
  long long logLimit = 0;  // 0: no limit
  void (*logFull)() = nullptr;
};

// The engine's event sink for one scan: writes each recovered file into its type folder while
// the scan runs, reports it, counts it, and shows progress.
class RecoverySink : public CSinkBase {
 public:
  RecoverySink(SinkSettings settings, DfxmlReport* report);

  // The source being scanned: files touching a block it could not read are marked damaged,
  // files are cut at its end (the zeros that fill out its last block are not its own), and
  // it tells whether it went away.
  void WatchSource(const CScannedSource* source) {
    FSource = source;
    FAnyBadBlock = source != nullptr ? &source->BadAreas().AnyMissingFlag() : &kNoBadBlock;
  }
  // Which delivered files are kept, once the handlers are configured.
  void SetFilter(TypeFilter filter) { FSettings.filter = std::move(filter); }
  // Called before Scan with the source's geometry and the block the scan starts at (not 0
  // when it resumes an interrupted one); starts the clock.
  void BeginScan(long long blockCount, long long blockSize, long long firstBlock = 0);
  // Called before each Scan of a scan that covers parts of the source only (a partition, its
  // free space): the engine's block 0 is source block firstBlock, and it ends at endBlock.
  void BeginArea(long long firstBlock, long long endBlock);
  // Called before the Scan of one shard of a source (--range): the engine's block 0 is source
  // block firstBlock and it sees the rest of the source, but the scan ends, as completed,
  // once it passes endBlock with no file open; files that start from there on are another
  // shard's and are neither delivered nor listed.
  void BeginShard(long long firstBlock, long long endBlock);
  // Goes on with an interrupted scan: the files and skipped files its report lists are
  // counted, and are not delivered again when the scan comes to them once more.
  void Resume(const std::vector<ReportFile>& files, const std::vector<ReportFile>& skipped);
  // Called every `seconds` of scanning, from the scan's thread, to write a checkpoint.
  // Asked of every file the filters keep: a reason (for the report) to leave it out, or null.
  void LeaveOutWith(std::function<const char*(const ReportFile&)> reason) {
    FLeaveOut = std::move(reason);
  }
  // "jpg/f0000002048.jpg": the name a file gets by its type and where it starts.
  static std::string SectorName(const ReportFile& entry);
  // The path (relative to the output folder, safe) a written file gets instead of its type
  // folder and sector name; an empty answer keeps those. Told the file as it is then, and the
  // path of its written bytes (empty with --list-only).
  using Namer = std::function<std::string(const ReportFile&, const std::string& written)>;
  void NameWith(Namer name) { FNamer = std::move(name); }
  // Called on every file before it goes into the report, to add where it came from (the
  // file system's name and times for its data).
  void OnReport(std::function<void(ReportFile&)> origin) { FOrigin = std::move(origin); }
  // Told every file once the report lists it, from the thread that delivered it.
  void OnReported(std::function<void(const ReportFile&)> reported) {
    FReported = std::move(reported);
  }
  void OnCheckpoint(std::function<void()> write, double seconds) {
    FCheckpoint = std::move(write);
    FCheckpointSeconds = seconds;
  }
  // A second look, after the scan, at blocks read only on the second try: the engine scans
  // again from firstBlock and is stopped once past stopBlock (with no file left open there).
  // Files delivered before are not delivered again; how the scan ended stays as it was.
  void BeginRescan(long long firstBlock, long long stopBlock);
  void EndRescan();
  // The block a resumed scan would start at: the one being scanned, or the start of a file
  // whose end is still being looked for.
  long long ResumeBlock() const;
  // Shows `text` on the progress line (work after the scan), at most ten times a second.
  void ShowStep(const std::string& text);
  // Erases the progress line so that the summary starts on a clean line.
  void EndProgress();

  void Log(const char* source, int level, const char* text) override;
  // Refuses blocks the watched source knows to be bad or is skipping: they cost nothing.
  void DSAccess(CDataSource*, long long position, bool& cancel) override {
    if (*FAnyBadBlock && FSource->Avoid(position)) cancel = true;
  }
  void ScanProgress(long long block, long long blockCount, bool& cancel) override;
  void ScanCompleted(bool completed, bool cancelled, int reserved) override;
  void FileRecovered(CContentHandler* handler, CDataStream* file) override;

  // A delivered file its validator found damaged, with where: reassembly looks for the rest.
  struct BrokenFile {
    ReportFile entry;
    long long goodUntil = 0;
    long long damagedAt = 0;
  };
  // The damaged files with a known break, in delivery order (bounded), but for those since
  // made whole.
  std::vector<BrokenFile> Broken() const;
  // Delivered files named intact by a check cheaper than the decoding their format allows
  // (HEIF: the coded units' structure), in delivery order (bounded): decoded after the scan.
  const std::vector<ReportFile>& Undecoded() const { return FUndecoded; }
  // The folder the files are written into (their report filenames are relative to it).
  const std::string& OutputDir() const { return FSettings.outputDir; }
  // Every delivered file left damaged, a known break or not, in delivery order (bounded).
  const std::vector<ReportFile>& Damaged() const { return FDamaged; }
  // Gives an intact file that decoding found damaged its broken name, reports it in place of
  // the intact one, and hands it to reassembly. False when the output failed.
  bool Demote(const ReportFile& intact, const Validation& validation);
  // The source's bytes that belong to delivered files: intact ones whole, damaged ones up to
  // their break. Rebuilt files add their pieces.
  const ClaimedRanges& Claimed() const { return FClaimed; }
  // Writes the file rebuilt from `pieces` of `source` (`size` bytes in all) in place of the
  // damaged one: it gets the intact name of its start, the report lists its pieces and the
  // file it replaces, the damaged file is removed and is no longer listed as broken. False
  // when it was not written (the pieces touch bad blocks, or the output failed).
  bool DeliverRebuilt(const BrokenFile& broken, ByteSpan& source, const std::vector<Piece>& pieces,
                      long long size);
  // Whether a file starting at source byte `offset` was delivered, or left out by the filters.
  bool DeliveredAt(long long offset) const;
  // Writes a file the scan did not find, read from `pieces` of `source` (`size` bytes in all),
  // as an intact file of entry.type at entry.offset, counted among the rebuilt ones. False
  // when it was not written: the filters leave it out, it starts outside the shard scanned, a
  // file was delivered at its start, or as for DeliverRebuilt.
  bool DeliverWhole(ReportFile entry, ByteSpan& source, const std::vector<Piece>& pieces,
                    long long size);

  const Tallies& TypeTallies() const { return FTallies; }
  double ElapsedSeconds() const;
  long long BytesScanned() const;
  long long SkippedFiles() const { return FSkipped; }
  // Files kept cut at the output file system's size limit.
  long long CutFiles() const { return FCutFiles; }
  bool ScanCompletedCalled() const { return FCompletedCalled; }
  bool Completed() const { return FCompleted; }
  bool Cancelled() const { return FCancelled; }
  // The shard's scan stopped past the end of its range, complete (the engine calls it
  // cancelled).
  bool StoppedAtShardEnd() const { return FStoppedAtEnd; }
  // The scan ended short because the watched source is no longer ready.
  bool LostSource() const;
  // The output could not be written: disk full (ENOSPC, EDQUOT, EFBIG) or another error.
  bool OutputFailed() const { return FOutputErrno != 0; }
  bool DiskFull() const;
  int OutputErrno() const { return FOutputErrno; }
  const std::string& OutputFailurePath() const { return FOutputFailurePath; }
  // Lines logged after the log was full, and so not written.
  long long LinesLeftOut() const { return FLinesLeftOut; }
  // Error lines logged since the last call (bounded), for reporting load failures.
  std::vector<std::string> TakeErrors();

 private:
  void Tick(long long block, long long blockCount);
  void FollowScan(const char* text);
  void Draw(long long block, long long blockCount);
  // The entry for a file the user asked for; false when --types/--exclude/--min-size/
  // --max-size leave it out, or when it lies wholly after the source's end.
  bool Describe(CContentHandler* handler, CDataStream* file, ReportFile& entry);
  // Copies file to the temporary path, hashing it on the way. A file too large for the output
  // file system is kept cut at its limit (entry.size follows, damaged). False when it could
  // not be written (the temporary file is then gone).
  bool WriteFile(CDataStream* file, const std::string& temporary, ReportFile& entry);
  // Reads size bytes of file from its start into the hash, and into fd when it is open;
  // returns the bytes copied, fewer when a write failed (errno says why) or a second
  // interrupt asked to stop now. Unreadable blocks arrive as zeros and a short count; the
  // file keeps its length.
  long long CopyOut(CDataStream* file, long long size, int fd, std::string& sha256,
                    long long& unreadable);
  bool EnsureTypeFolder(const std::string& type);
  // Checks the file's bytes with its format's validator (from the file just written, or from
  // the stream when nothing is written): a file that does not decode whole is damaged, and the
  // report says where.
  Validation Validate(CDataStream* file, const std::string& temporary, ReportFile& entry);
  // Keeps what reassembly needs of a delivered file: the bytes it claims, and its break.
  void Remember(const ReportFile& entry, const Validation& validation);
  // Bytes of [offset, offset + size) already written in damaged files. A damaged file at least
  // half made of them is listed, not written: a source full of broken headers (a hostile one,
  // or junk) must not make the output many times its own size.
  long long WrittenBefore(long long offset, long long size) const;
  void AddDamagedRange(long long begin, long long end);
  // Writes (or with --list-only hashes) the file made of `pieces`, intact, as `entry` (its
  // replaces field saying which file it takes the place of) and claims the pieces; not yet
  // counted nor reported. False when it was not written.
  bool WritePieces(ReportFile& entry, ByteSpan& source, const std::vector<Piece>& pieces,
                   long long size);
  // Gives the complete file at temporary its name (f... or b... by entry.damaged), never over
  // another file: a taken name gets "-2", "-3"... and entry.filename follows.
  void Publish(const std::string& temporary, ReportFile& entry);
  void Count(const ReportFile& entry);
  // Where the file goes: its given name, else its type folder and sector name.
  std::string NameOf(const ReportFile& entry, const std::string& written = std::string()) const;
  // Renames the written file to base (or base-2, ...) below the output folder; 0 or errno.
  int MoveTo(const std::string& temporary, const std::string& base, ReportFile& entry);
  // Adds the file to the report (with its origin); false when the report cannot be written.
  bool Report(ReportFile entry);
  void FailOutput(int error, const std::string& path);

  SinkSettings FSettings;
  DfxmlReport* FReport;
  const CScannedSource* FSource = nullptr;
  // The watched source's "any bad block yet": asked for every block the scan fetches.
  static constexpr bool kNoBadBlock = false;
  const bool* FAnyBadBlock = &kNoBadBlock;
  std::vector<char> FBuffer;
  std::set<std::string> FFolders;
  Tallies FTallies;
  std::vector<std::string> FErrors;

  bool FStop = false;
  int FCountdown = 1;
  long long FBlockSize = 512;
  long long FBlockCount = 0;
  long long FAreaEnd = -1;  // the source block the current part ends at; -1: the source's end
  long long FLastBlock = 0;
  size_t FWidth = 80;
  bool FLineShown = false;
  std::chrono::steady_clock::time_point FStart;
  std::chrono::steady_clock::time_point FLastDraw;
  std::chrono::steady_clock::time_point FLastCheckpoint;
  std::function<void()> FCheckpoint;
  std::function<void(ReportFile&)> FOrigin;
  std::function<void(const ReportFile&)> FReported;
  Namer FNamer;
  std::function<const char*(const ReportFile&)> FLeaveOut;
  double FCheckpointSeconds = 0;
  long long FFirstBlock = 0;
  long long FLastEnd = 0;  // of the files delivered
  // The engine's recognitions, followed for ResumeBlock: the last block recognised, the block
  // of a file whose end is still open, and whether it is being finished now.
  long long FRecognizedBlock = -1;
  long long FOpenFileBlock = -1;
  bool FFinishingOpenFile = false;
  std::set<std::pair<long long, std::string>> FAlreadyDelivered;  // offset, type
  bool FLookingAgain = false;  // resumed, or a second look: files found before are skipped
  // A second look stops at this block (as the engine counts them); never otherwise.
  static constexpr long long kNever = std::numeric_limits<long long>::max();
  long long FStopAt = kNever;
  bool FRescan = false;          // a second look is under way: no checkpoints
  bool FStoppedAtEnd = false;    // a shard's scan stopped past its end: it is complete
  long long FShardBegin = 0;     // source byte where this shard's files start
  long long FShardEnd = kNever;  // source byte where the next shard's files start
  struct Ending {
    bool called, completed, cancelled;
  } FEnding{};

  std::vector<BrokenFile> FBroken;
  std::vector<ReportFile> FDamaged;
  std::set<std::pair<long long, std::string>> FMadeWhole;  // offset, type
  std::vector<ReportFile> FUndecoded;
  ClaimedRanges FClaimed;
  long long FSkipped = 0;
  std::map<long long, long long> FDamagedRanges;  // begin -> end, joined where they touch
  long long FLogBytes = 0;
  long long FLinesLeftOut = 0;
  long long FCutFiles = 0;
  bool FCompletedCalled = false;
  bool FCompleted = false;
  bool FCancelled = false;
  int FOutputErrno = 0;
  std::string FOutputFailurePath;
};

}  // namespace salvor
