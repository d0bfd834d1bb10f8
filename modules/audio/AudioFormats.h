#pragma once

#include <cstddef>
#include <cstdint>

#include "salvor/CDataStream.h"
#include "modules/common/StreamReader.h"

namespace salvor {
namespace audio {

// How far the structure of one audio file was followed from its first byte.
struct Extent {
  long long end = -1;      // one past the last byte that certainly belongs to the file
  bool complete = false;   // the structure reached its own end (or a clean stop)
  bool offSource = false;  // the structure runs past the data available
  bool pastLimit = false;  // the structure goes on beyond the size allowed
  // Frame chains without an end marker: where the chain stops is the end, whole or not.
  bool endsAtChainStop = false;
  const char* extension = "";
};

// Bytes the cheap test looks at.
constexpr size_t kProbeBytes = 10;
// Cheap tests on the first bytes of a candidate start (`available` bytes readable).
bool MayStartFile(const uint8_t* bytes, size_t available);

// For a bare frame header (after MayStartFile): whether a frame of the same stream follows it,
// read into a stack buffer, so that a chance sync in random data costs no reader. True for
// the other candidates.
bool NextFrameFollows(CDataStream* stream, long long position, const uint8_t* head);

// Strict validation of a file starting at offset 0 of `reader`, followed to its end but not
// beyond `limit` bytes. False when the data does not start an audio file of a known format.
bool FollowFile(CStreamReader& reader, long long limit, Extent* extent);

// Per format, from `from` (after any ID3v2 tag) on; the extent covers [0, end).
bool FollowMpegAudio(CStreamReader& reader, long long from, bool tagged, long long limit,
                     Extent* extent);
bool FollowAdts(CStreamReader& reader, long long from, bool tagged, long long limit,
                Extent* extent);
bool FollowFlac(CStreamReader& reader, long long from, long long limit, Extent* extent);
bool FollowOgg(CStreamReader& reader, long long limit, Extent* extent);

// Size of the ID3v2 tag at `position` (header, body, footer), or 0 when there is none.
long long Id3v2Size(CStreamReader& reader, long long position);
// Skips the APE and ID3v1 tags that may follow the last audio frame; returns the new end.
long long SkipTrailingTags(CStreamReader& reader, long long position, long long limit);

}  // namespace audio
}  // namespace salvor
