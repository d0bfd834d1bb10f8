#pragma once

#include "validate/Validator.h"

// One validator per format, each in its own unit; Validators.cpp maps types to them.
namespace salvor {

// Movies and sound, through libavformat/libavcodec.
Validation ValidateMp4(ByteSpan& bytes);  // ISO-BMFF and QuickTime: mp4, mov, m4a, 3gp...
// The same, then every video sample of an intact movie decoded: about 0.1 s per MB, so only
// movies of up to 16 MiB and full HD; cannot tell for others, or for a movie without video.
Validation ValidateMp4Decoded(ByteSpan& bytes, const std::vector<long long>& cuts, long long from);
JoinFit CheckMp4Join(ByteSpan& joined, long long unitStart, long long cut);
Validation ValidateMpegAudio(ByteSpan& bytes);  // MP3, MP2
Validation ValidateAdts(ByteSpan& bytes);       // AAC in ADTS frames
Validation ValidateFlac(ByteSpan& bytes);
JoinFit CheckFlacJoin(ByteSpan& joined, long long unitStart, long long cut);
Validation ValidateOgg(ByteSpan& bytes);  // Vorbis, Opus, Speex, FLAC in Ogg pages
JoinFit CheckOggJoin(ByteSpan& joined, long long unitStart, long long cut);
bool OggJoinExpectation(ByteSpan& prefix, long long unitStart, long long cut, JoinExpectation* out);
Validation ValidateAvi(ByteSpan& bytes);
JoinFit CheckAviJoin(ByteSpan& joined, long long unitStart, long long cut);
Validation ValidateWav(ByteSpan& bytes);
Validation ValidateMpegTs(ByteSpan& bytes);  // 188-byte packets, or 192 (M2TS/MTS)
Validation ValidateJpeg(ByteSpan& bytes);
bool CouldContinueJpeg(const unsigned char* block, long long size);
JoinFit CheckJpegJoin(ByteSpan& joined, long long unitStart, long long cut);
Validation ValidatePng(ByteSpan& bytes);
JoinFit CheckPngJoin(ByteSpan& joined, long long unitStart, long long cut);
Validation ValidateGif(ByteSpan& bytes);
Validation ValidateWebp(ByteSpan& bytes);
// HEIF, HEIC, AVIF: item locations in the file, unit chains, primary image and thumbnails
// decoded. Decoding costs 3-5 MB/s of HEIC (a 12 MP photo: about 0.2 s of CPU).
Validation ValidateHeif(ByteSpan& bytes);
// The same without decoding: item locations and each coded item's unit chain (NAL lengths
// and emulation prevention, OBU sizes), which catch most breaks at a fragment's end; cannot
// tell where ValidateHeif would decode. For callers that cannot pay for decoding.
Validation ValidateHeifUnits(ByteSpan& bytes);
Validation ValidateBmp(ByteSpan& bytes);

// TIFF (and DNG, whose every part TIFF tags locate): IFDs, tag values, strips and tiles in
// the file, compressed strips decoded, embedded JPEGs checked.
Validation ValidateTiff(ByteSpan& bytes);
// The camera RAWs built on TIFF: the same checks, but never intact, since their sensor data
// may lie where no tag points.
Validation ValidateTiffRaw(ByteSpan& bytes);

// RAWs with their own containers (Fujifilm RAF, Minolta MRW, Canon CRW, Sigma X3F): their
// offset tables, embedded TIFF and JPEG parts; never intact (sensor data is not checked).
Validation ValidateRaf(ByteSpan& bytes);
Validation ValidateMrw(ByteSpan& bytes);
Validation ValidateCrw(ByteSpan& bytes);
Validation ValidateX3f(ByteSpan& bytes);

// Photoshop PSD and PSB: sections chain, RLE rows decode to their width, layer data adds up.
Validation ValidatePsd(ByteSpan& bytes);

Validation ValidateMatroska(ByteSpan& bytes);  // mkv, mka, webm
JoinFit CheckMatroskaJoin(ByteSpan& joined, long long unitStart, long long cut);
Validation ValidateMpegPs(ByteSpan& bytes);  // MPEG-1 system and MPEG-2 program streams
}  // namespace salvor
