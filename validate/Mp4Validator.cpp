// ISO-BMFF and QuickTime movies: the top-level boxes give the file's end, the movie header's
// sample tables (read by libavformat) say where every sample lies, and each sample is checked
// by its codec where that is cheap (NAL chains, JPEG markers, audio decoded).

#include <algorithm>
#include <memory>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "validate/Formats.h"
#include "validate/MediaCommon.h"
#include "validate/Spans.h"

namespace salvor {

namespace {

using media::Be32;
using media::Be64;

// Sample tables of this size hold millions of samples; a larger movie header is not parsed.
constexpr long long kMaxMovieHeader = 64LL * 1024 * 1024;

struct TopLevel {
  long long end = 0;       // after the last whole box
  bool cut = false;        // a box runs past the span
  int boxes = 0;           // whole boxes
  long long moovEnd = -1;  // a whole movie header, its end
  long long moovSize = 0;
  long long firstData = 0;  // where the first media data box's payload starts
};

bool BoxName(const unsigned char* type) {
  for (int i = 0; i < 4; ++i)
    if (type[i] < 0x20 || type[i] > 0x7E) return false;
  return true;
}

// Walks the top-level box headers (size, or 1 and a 64-bit size, or 0 for media data running
// to the end) up to the first header that is not one: what follows is no longer the file.
TopLevel WalkBoxes(ByteSpan& bytes) {
  TopLevel walk;
  const long long size = bytes.Size();
  long long at = 0;
  unsigned char head[16];
  while (at < size) {
    const long long got = bytes.Read(at, head, sizeof head);
    if (got < 8 || !BoxName(head + 4)) break;
    const bool mdat = std::equal(head + 4, head + 8, "mdat");
    long long boxSize = Be32(head);
    long long header = 8;
    if (boxSize == 1) {
      if (got < 16 || Be64(head + 8) > static_cast<uint64_t>(LLONG_MAX)) break;
      boxSize = static_cast<long long>(Be64(head + 8));
      header = 16;
      if (boxSize < 16) break;
    } else if (boxSize == 0) {
      if (!mdat) break;
      boxSize = size - at;
    } else if (boxSize < 8) {
      break;
    }
    if (boxSize > size - at) {
      walk.cut = true;
      at = size;
      break;
    }
    if (std::equal(head + 4, head + 8, "moov")) {
      walk.moovEnd = at + boxSize;
      walk.moovSize = boxSize;
    }
    if (mdat && walk.firstData == 0) walk.firstData = at + header;
    ++walk.boxes;
    at += boxSize;
  }
  walk.end = at;
  return walk;
}

struct Sample {
  long long position;
  int size;
  int track;
};

}  // namespace

Validation ValidateMp4(ByteSpan& bytes) {
  const long long size = bytes.Size();
  const TopLevel walk = WalkBoxes(bytes);
  if (walk.boxes == 0 && !walk.cut) return Validation::Damaged(0, std::min(size, 8LL), "no box");
  if (walk.moovSize > kMaxMovieHeader) return Validation::CannotTell();
  // The demuxer sees the file only: nothing after its last box.
  SubSpan file(bytes, 0, walk.end);
  media::Demuxer demuxer;
  if (walk.moovEnd < 0) {
    // The media data ends where the movie header should begin.
    Validation damaged = Validation::Damaged(0, walk.end, "no movie header");
    damaged.expectAt = walk.end + 4;
    damaged.expect = "moov";
    return damaged;
  }
  if (!demuxer.Open(file, "mov", {{"ignore_editlist", "1"}, {"ignore_chapters", "1"}}))
    return Validation::Damaged(0, walk.end, "bad movie header");
  AVFormatContext* context = demuxer.Context();

  std::vector<std::unique_ptr<media::SampleChecker>> checkers;
  std::vector<Sample> samples;
  bool checked = false;
  for (unsigned i = 0; i < context->nb_streams; ++i) {
    AVStream* stream = context->streams[i];
    checkers.push_back(std::make_unique<media::SampleChecker>(stream->codecpar));
    const int count = avformat_index_get_entries_count(stream);
    if (count > 0 && checkers.back()->Checks()) checked = true;
    for (int e = 0; e < count; ++e) {
      const AVIndexEntry* entry = avformat_index_get_entry(stream, e);
      if (entry->size > 0) samples.push_back({entry->pos, entry->size, static_cast<int>(i)});
    }
  }
  // In file order, so that the first sample that fails is the earliest break.
  std::stable_sort(samples.begin(), samples.end(),
                   [](const Sample& a, const Sample& b) { return a.position < b.position; });
  // What the header boxes before the first sample hold was read whole by the demuxer.
  long long verified = samples.empty() ? 0 : std::min(samples.front().position, walk.firstData);
  for (const Sample& sample : samples) {
    if (sample.position < 0)
      return Validation::Damaged(verified, walk.end, "sample before the file");
    const media::SampleResult result =
        checkers[static_cast<size_t>(sample.track)]->Check(file, sample.position, sample.size);
    verified = std::max(verified, result.verifiedUntil);
    if (result.badAt >= 0) {
      // A sample past the last box: the file is cut short, or the tables point elsewhere.
      if (result.badAt >= walk.end && walk.cut)
        return Validation::Damaged(verified, size, result.reason);
      return media::Failed(verified, result, size);
    }
  }
  if (walk.cut) return Validation::Damaged(verified, size, "cut short");
  if (!checked) return Validation::CannotTell();
  return Validation::Intact(walk.end);
}

}  // namespace salvor
