#pragma once

#include "validate/Validator.h"

// One validator per format, each in its own unit; Validators.cpp maps types to them.
namespace salvor {

// Movies and sound, through libavformat/libavcodec.
Validation ValidateMp4(ByteSpan& bytes);        // ISO-BMFF and QuickTime: mp4, mov, m4a, 3gp...
Validation ValidateMpegAudio(ByteSpan& bytes);  // MP3, MP2
Validation ValidateAdts(ByteSpan& bytes);       // AAC in ADTS frames
Validation ValidateFlac(ByteSpan& bytes);
Validation ValidateOgg(ByteSpan& bytes);  // Vorbis, Opus, Speex, FLAC in Ogg pages
Validation ValidateAvi(ByteSpan& bytes);
Validation ValidateWav(ByteSpan& bytes);
Validation ValidateMpegTs(ByteSpan& bytes);    // 188-byte packets, or 192 (M2TS/MTS)
Validation ValidateMatroska(ByteSpan& bytes);  // mkv, mka, webm
Validation ValidateMpegPs(ByteSpan& bytes);    // MPEG-1 system and MPEG-2 program streams
}  // namespace salvor
