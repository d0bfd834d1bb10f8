// ISO-BMFF and QuickTime movies: the top-level boxes give the file's end, the movie header's
// sample tables (read by libavformat) say where every sample lies, and each sample is checked
// by its codec where that is cheap (NAL chains, JPEG markers, audio decoded).

#include <algorithm>
#include <climits>
#include <memory>
#include <unordered_map>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
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
// Decoding keeps a few dozen frames: up to full HD, within the memory a worker may use. It
// runs at some 10 MB/s: a longer movie would hold a search up past its time.
constexpr int kMaxDecodedPixels = 1920 * 1088;
constexpr long long kMaxDecodedBytes = 16LL << 20;

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

// Where a movie's video samples lie, from its header, and a check for each video track's
// samples that needs none of the samples before it (NAL chains, JPEG frames).
struct SampleMap {
  std::vector<Sample> samples;  // in file order
  std::vector<std::unique_ptr<media::SampleChecker>> checkers;
};

// Reads the movie header once per movie: a search judges thousands of candidates by it. Keyed
// by where the header lies and its first and last bytes.
std::shared_ptr<const SampleMap> MapSamples(ByteSpan& joined, const TopLevel& walk) {
  constexpr size_t kMaxMaps = 4;
  thread_local std::unordered_map<uint64_t, std::shared_ptr<const SampleMap>> maps;
  // Keyed by the header's two ends and bytes spread through it: movies from one camera share
  // most of their header, but hardly the sample sizes and offsets across the tables.
  constexpr long long kSpread = 16;
  constexpr long long kTaken = 32;
  const long long moovAt = walk.moovEnd - walk.moovSize;
  unsigned char taken[(kSpread + 1) * kTaken];
  for (long long i = 0; i <= kSpread; ++i) {
    const long long at = moovAt + (walk.moovSize - kTaken) * i / kSpread;
    if (joined.Read(at, taken + i * kTaken, kTaken) < kTaken) return nullptr;
  }
  const uint64_t key = BytesKey(taken, sizeof taken, moovAt, walk.moovSize);
  const auto found = maps.find(key);
  if (found != maps.end()) return found->second;
  if (maps.size() >= kMaxMaps) maps.clear();
  auto map = std::make_shared<SampleMap>();
  SubSpan header(joined, 0, walk.moovEnd);
  media::Demuxer demuxer;
  if (demuxer.Open(header, "mov", {{"ignore_editlist", "1"}, {"ignore_chapters", "1"}})) {
    AVFormatContext* context = demuxer.Context();
    // Video, and the first audio tracks: an audio checker holds a decoder, and a hostile file
    // may have thousands of tracks. Audio tells a join past a movie's last picture.
    constexpr int kMaxAudioChecked = 2;
    int audio = 0;
    for (unsigned i = 0; i < context->nb_streams; ++i) {
      AVStream* stream = context->streams[i];
      const AVMediaType kind = stream->codecpar->codec_type;
      const bool checked =
          kind == AVMEDIA_TYPE_VIDEO || (kind == AVMEDIA_TYPE_AUDIO && audio++ < kMaxAudioChecked);
      map->checkers.push_back(
          std::make_unique<media::SampleChecker>(checked ? stream->codecpar : nullptr));
      const media::SampleChecker& checker = *map->checkers.back();
      if (!checker.Checks()) continue;
      const int count = avformat_index_get_entries_count(stream);
      for (int e = 0; e < count; ++e) {
        const AVIndexEntry* entry = avformat_index_get_entry(stream, e);
        if (entry->size > 0) map->samples.push_back({entry->pos, entry->size, static_cast<int>(i)});
      }
    }
    std::sort(map->samples.begin(), map->samples.end(),
              [](const Sample& a, const Sample& b) { return a.position < b.position; });
  }
  maps[key] = map;
  return map;
}

}  // namespace

JoinFit CheckMp4Join(ByteSpan& joined, long long, long long cut) {
  // The header before the cut, or after the media data where the search found it.
  const TopLevel walk = WalkBoxes(joined);
  if (walk.moovEnd < 0 || walk.moovSize > kMaxMovieHeader) return JoinFit::kCannotTell;
  const std::shared_ptr<const SampleMap> map = MapSamples(joined, walk);
  if (map == nullptr || map->samples.empty()) return JoinFit::kCannotTell;
  // The sample the cut falls in, then those that begin within kJoinHeaderReach past it (at
  // least one, up to kJoinHeaders).
  const auto& samples = map->samples;
  auto at = std::upper_bound(samples.begin(), samples.end(), cut,
                             [](long long offset, const Sample& s) { return offset < s.position; });
  if (at != samples.begin() && std::prev(at)->position + std::prev(at)->size > cut) --at;
  int past = 0;
  for (; at != samples.end() && past < kJoinHeaders; ++at) {
    const bool begins = at->position >= cut;
    if (begins && past > 0 && at->position > cut + kJoinHeaderReach) break;
    if (at->position > cut + kJoinReach) break;
    const media::SampleResult result =
        map->checkers[static_cast<size_t>(at->track)]->Check(joined, at->position, at->size);
    if (result.badAt >= 0) return JoinFit::kBreaks;
    if (begins) ++past;
  }
  return past > 0 ? JoinFit::kHolds : JoinFit::kCannotTell;
}

namespace {

// An H.264 picture whose coded data a join's cut lies in, and the keyframe it is decoded from.
struct CutPicture {
  int stream = 0;
  long long cut = 0;     // in the file
  long long end = 0;     // the sample's end
  long long number = 0;  // its place among the stream's packets
  long long fromKey = 0;
};

// How much shorter the slice is made: the decoder reads a couple of bytes ahead, and a slice
// whose last macroblocks cost only some bits each must still run out.
constexpr int kShortenedBy = 16;

// Shortens the H.264 slice NAL unit (in a packet of `lengthSize`-byte length-prefixed units)
// that holds `cut` by kShortenedBy bytes. False when the cut lies in no slice long enough.
bool ShortenSlice(AVPacket& packet, long long cut, int lengthSize) {
  if (av_packet_make_writable(&packet) < 0) return false;
  unsigned char* data = packet.data;
  const long long size = packet.size;
  for (long long at = 0; at + lengthSize <= size;) {
    long long length = 0;
    for (int i = 0; i < lengthSize; ++i) length = length << 8 | data[at + i];
    const long long begin = at + lengthSize;
    const long long end = begin + length;
    if (length == 0 || end > size) return false;
    if (cut >= begin && cut < end) {
      const int type = data[begin] & 0x1F;
      if (type < 1 || type > 5 || length < 4 * kShortenedBy) return false;
      length -= kShortenedBy;
      for (int i = lengthSize - 1; i >= 0; --i, length >>= 8)
        data[at + i] = static_cast<unsigned char>(length & 0xFF);
      std::copy(data + end, data + size, data + end - kShortenedBy);
      av_shrink_packet(&packet, static_cast<int>(size - kShortenedBy));
      return true;
    }
    at = end;
  }
  return false;
}

// A decoder that reads foreign bytes in a slice may reach the picture's last macroblock before
// the slice's end and leave the rest unread, and libavcodec does not complain of bytes left
// over in a CABAC slice. The picture is decoded again with its slice cut short: a slice that
// really ends at its end then runs out of bytes and fails. True when it does (or when there
// is no slice to try), false when the shortened picture decodes as well.
bool ShortSliceFails(ByteSpan& file, const CutPicture& picture) {
  media::Demuxer demuxer;
  if (!demuxer.Open(file, "mov", {{"ignore_editlist", "1"}, {"ignore_chapters", "1"}}))
    return false;
  AVFormatContext* context = demuxer.Context();
  if (static_cast<unsigned>(picture.stream) >= context->nb_streams) return false;
  const AVCodecParameters* codec = context->streams[picture.stream]->codecpar;
  media::Decoder decoder;
  if (codec->extradata_size < 7 || !decoder.Open(codec)) return false;
  const int lengthSize = (codec->extradata[4] & 3) + 1;
  std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(),
                                                        [](AVPacket* p) { av_packet_free(&p); });
  if (packet == nullptr) return false;
  for (long long number = 0; av_read_frame(context, packet.get()) >= 0;
       av_packet_unref(packet.get())) {
    if (packet->stream_index != picture.stream) continue;
    const long long n = number++;
    if (n < picture.fromKey) continue;
    if (n < picture.number) {
      if (!decoder.Decode(static_cast<const AVPacket*>(packet.get()))) return false;
      continue;
    }
    if (!ShortenSlice(*packet, picture.cut - packet->pos, lengthSize)) return true;
    return !decoder.Decode(static_cast<const AVPacket*>(packet.get())) ||
           !decoder.Decode(static_cast<const AVPacket*>(nullptr));
  }
  return false;
}

}  // namespace

Validation ValidateMp4Decoded(ByteSpan& bytes, const std::vector<long long>& cuts, long long from) {
  const Validation checked = ValidateMp4(bytes);
  // A movie broken further on is decoded up to its break: a decoder may notice an earlier one.
  const bool whole = checked.verdict == Verdict::kIntact;
  if (!whole && checked.verdict != Verdict::kDamaged) return checked;
  const TopLevel walk = whole ? TopLevel{} : WalkBoxes(bytes);
  if (!whole && (walk.moovEnd < 0 || walk.moovSize > kMaxMovieHeader)) return checked;
  const long long end = whole ? checked.end : walk.end;
  const Validation undecided = whole ? Validation::CannotTell() : checked;
  if (end > kMaxDecodedBytes) return undecided;
  media::SilenceLibav();
  SubSpan file(bytes, 0, end);
  media::Demuxer demuxer;
  if (!demuxer.Open(file, "mov", {{"ignore_editlist", "1"}, {"ignore_chapters", "1"}}))
    return undecided;
  AVFormatContext* context = demuxer.Context();
  std::vector<std::unique_ptr<media::Decoder>> decoders(context->nb_streams);
  std::vector<bool> lengthPrefixedH264(context->nb_streams);
  bool any = false;
  for (unsigned i = 0; i < context->nb_streams; ++i) {
    const AVCodecParameters* codec = context->streams[i]->codecpar;
    if (codec->codec_type != AVMEDIA_TYPE_VIDEO) continue;
    if (static_cast<long long>(codec->width) * codec->height > kMaxDecodedPixels) return undecided;
    decoders[i] = std::make_unique<media::Decoder>();
    if (!decoders[i]->Open(codec)) return undecided;
    lengthPrefixedH264[i] = codec->codec_id == AV_CODEC_ID_H264 && codec->extradata_size >= 7 &&
                            codec->extradata[0] == 1;
    any = true;
  }
  if (!any) return undecided;  // nothing decoded tells nothing
  std::unique_ptr<AVPacket, void (*)(AVPacket*)> packet(av_packet_alloc(),
                                                        [](AVPacket* p) { av_packet_free(&p); });
  if (packet == nullptr) return undecided;
  // Where each video stream's decoding starts: its last keyframe at or before `from`.
  std::vector<long long> firstDecoded(context->nb_streams, 0);
  for (unsigned i = 0; i < context->nb_streams && from > 0; ++i) {
    if (decoders[i] == nullptr) continue;
    const int count = avformat_index_get_entries_count(context->streams[i]);
    for (int e = 0; e < count; ++e) {
      const AVIndexEntry* entry = avformat_index_get_entry(context->streams[i], e);
      if (entry->pos > from) break;
      if (entry->flags & AVINDEX_KEYFRAME) firstDecoded[i] = entry->pos;
    }
  }
  std::vector<long long> packets(context->nb_streams), lastKey(context->nb_streams);
  std::vector<CutPicture> cutPictures;
  while (av_read_frame(context, packet.get()) >= 0) {
    const size_t stream = static_cast<size_t>(packet->stream_index);
    const long long at = packet->pos;
    const long long packetEnd = at + packet->size;
    if (!whole && packetEnd > checked.damagedAt) break;
    // A picture wholly before `from` was looked at by the caller.
    if (stream < decoders.size() && lengthPrefixedH264[stream]) {
      if (packet->flags & AV_PKT_FLAG_KEY) lastKey[stream] = packets[stream];
      for (long long cut : cuts)
        if (cut >= at && cut < packetEnd && packetEnd > from)
          cutPictures.push_back(
              {static_cast<int>(stream), cut, packetEnd, packets[stream], lastKey[stream]});
    }
    if (stream < decoders.size()) ++packets[stream];
    int x, y;
    media::TakeMacroblockError(x, y);
    const bool decodes = stream >= decoders.size() || decoders[stream] == nullptr ||
                         at < firstDecoded[stream] ||
                         decoders[stream]->Decode(static_cast<const AVPacket*>(packet.get()));
    av_packet_unref(packet.get());
    if (!decodes) {
      Validation damaged =
          Validation::Damaged(0, std::max(0LL, std::min(packetEnd, end)), "video does not decode");
      // The macroblock it gave up on, as a share of the picture's, is about as far into the
      // picture's bytes as the foreign ones begin: garbage breaks the decoder within a few.
      const AVCodecParameters* codec = context->streams[stream]->codecpar;
      const long long columns = (codec->width + 15) / 16, rows = (codec->height + 15) / 16;
      if (media::TakeMacroblockError(x, y) && x < columns && y < rows)
        damaged.likelyAt = at + (y * columns + x) * (packetEnd - at) / (columns * rows);
      return damaged;
    }
  }
  if (!whole) return checked;
  for (const auto& decoder : decoders)
    if (decoder != nullptr && !decoder->Decode(static_cast<const AVPacket*>(nullptr)))
      return Validation::Damaged(0, end, "video does not decode");
  // A picture that decodes as well cut short may have ended early on foreign bytes, or cost
  // so few bits at its end (a B-picture of skipped blocks) that the zeros after the cut
  // finish it: nothing tells which.
  for (const CutPicture& picture : cutPictures)
    if (!ShortSliceFails(file, picture)) return undecided;
  return checked;
}

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
