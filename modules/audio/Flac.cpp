// FLAC: "fLaC", metadata blocks (STREAMINFO first), then frames. Frames carry no length, so
// each frame's subframes are parsed down to their last bit; the frame's CRC-16 then confirms
// the end. The stream ends when STREAMINFO's sample count is reached, or where the frames stop.

#include <cstring>

#include "modules/audio/AudioFormats.h"

namespace salvor {
namespace audio {
namespace {

constexpr int kStreamInfoType = 0;
constexpr int kStreamInfoSize = 34;
constexpr int kMaxMetadataBlocks = 1024;
constexpr size_t kChunk = 32 * 1024;

struct CrcTables {
  uint8_t crc8[256];
  uint16_t crc16[256];
  constexpr CrcTables() : crc8(), crc16() {
    for (int i = 0; i < 256; ++i) {
      unsigned c8 = static_cast<unsigned>(i);
      unsigned c16 = static_cast<unsigned>(i) << 8;
      for (int bit = 0; bit < 8; ++bit) {
        c8 = (c8 & 0x80) ? (c8 << 1) ^ 0x07 : c8 << 1;
        c16 = (c16 & 0x8000) ? (c16 << 1) ^ 0x8005 : c16 << 1;
      }
      crc8[i] = static_cast<uint8_t>(c8);
      crc16[i] = static_cast<uint16_t>(c16);
    }
  }
};
constexpr CrcTables kCrc;

struct StreamInfo {
  unsigned minBlock, maxBlock, sampleRate, channels, bitsPerSample;
  unsigned long long totalSamples;
};

struct FrameHeader {
  bool variable;
  unsigned long long number;  // frame number, or first sample number when variable
  unsigned blockSize;
  unsigned channels;
  unsigned channelAssignment;
  unsigned bitsPerSample;
  int length;  // header bytes, CRC-8 included
};

// A bit reader over the stream, MSB first, that refuses to read beyond `limit`.
class CBitReader {
 public:
  CBitReader(CStreamReader& reader, long long position, long long limit)
      : FReader(reader), FStart(position), FNext(position), FLimit(limit) {}

  bool Bits(int count, uint32_t* value) {
    if (count == 0) {
      *value = 0;
      return true;
    }
    if (FBits < count && !Fill()) return false;
    if (FBits < count) return false;
    *value = static_cast<uint32_t>(FAccumulator >> (64 - count));
    Consume(count);
    return true;
  }

  bool Skip(unsigned long long count) {
    if (count <= static_cast<unsigned long long>(FBits)) {
      Consume(static_cast<int>(count));
      return true;
    }
    count -= static_cast<unsigned long long>(FBits);
    FAccumulator = 0;
    FBits = 0;
    unsigned long long bytes = count / 8;
    if (bytes > static_cast<unsigned long long>(FLimit - FNext)) return false;
    FNext += static_cast<long long>(bytes);
    uint32_t ignored;
    return Bits(static_cast<int>(count % 8), &ignored);
  }

  // Counts zero bits up to the next one bit, which is consumed.
  bool Unary(uint32_t* zeros) {
    unsigned long long count = 0;
    while (true) {
      if (FBits == 0 && !Fill()) return false;
      if (FAccumulator == 0) {
        count += static_cast<unsigned long long>(FBits);
        FBits = 0;
        if (count > 0xFFFFFFFFull) return false;
        continue;
      }
      int leading = __builtin_clzll(FAccumulator);
      count += static_cast<unsigned long long>(leading);
      Consume(leading + 1);
      if (count > 0xFFFFFFFFull) return false;
      *zeros = static_cast<uint32_t>(count);
      return true;
    }
  }

  // Position of the next whole byte, after dropping the bits of a partial byte.
  long long AlignedPosition() const {
    long long bitsUsed = (FNext - FStart) * 8 - FBits;
    return FStart + (bitsUsed + 7) / 8;
  }
  bool HitLimit() const { return FHitLimit; }

 private:
  void Consume(int count) {
    FAccumulator = count >= 64 ? 0 : FAccumulator << count;
    FBits -= count;
  }
  bool Fill() {
    while (FBits <= 56) {
      if (FNext >= FLimit) {
        FHitLimit = true;
        return FBits > 0;
      }
      if (FChunk == nullptr || FNext < FChunkStart || FNext >= FChunkStart + FChunkLength) {
        long long want = FLimit - FNext;
        if (want > static_cast<long long>(kChunk)) want = kChunk;
        FChunk = FReader.Peek(FNext, static_cast<size_t>(want));
        if (FChunk == nullptr) {
          FHitLimit = true;
          return FBits > 0;
        }
        FChunkStart = FNext;
        FChunkLength = want;
      }
      FAccumulator |= static_cast<uint64_t>(FChunk[FNext - FChunkStart]) << (56 - FBits);
      FBits += 8;
      ++FNext;
    }
    return true;
  }

  CStreamReader& FReader;
  long long FStart;
  long long FNext;  // next byte to load into the accumulator
  long long FLimit;
  const uint8_t* FChunk = nullptr;
  long long FChunkStart = 0;
  long long FChunkLength = 0;
  uint64_t FAccumulator = 0;  // next bit at bit 63; bits below the valid ones are zero
  int FBits = 0;
  bool FHitLimit = false;
};

bool ParseStreamInfo(const uint8_t* p, StreamInfo* info) {
  info->minBlock = LoadBE16(p);
  info->maxBlock = LoadBE16(p + 2);
  info->sampleRate = static_cast<unsigned>(p[10]) << 12 | p[11] << 4 | p[12] >> 4;
  info->channels = ((p[12] >> 1) & 7) + 1;
  info->bitsPerSample = ((p[12] & 1) << 4 | p[13] >> 4) + 1;
  info->totalSamples = static_cast<unsigned long long>(p[13] & 0xF) << 32 | LoadBE32(p + 14);
  uint32_t minFrame = static_cast<uint32_t>(p[4]) << 16 | p[5] << 8 | p[6];
  uint32_t maxFrame = static_cast<uint32_t>(p[7]) << 16 | p[8] << 8 | p[9];
  // Rates and sample sizes that encoders write; anything else here is not a FLAC stream.
  static const unsigned kRates[] = {8000,  11025,  12000,  16000,  22050,  24000,  32000, 37800,
                                    44056, 44100,  47250,  48000,  50000,  50400,  64000, 88200,
                                    96000, 176400, 192000, 352800, 384000, 705600, 768000};
  bool knownRate = false;
  for (unsigned rate : kRates) knownRate = knownRate || rate == info->sampleRate;
  unsigned bits = info->bitsPerSample;
  bool knownBits = bits == 8 || bits == 12 || bits == 16 || bits == 20 || bits == 24 || bits == 32;
  return info->minBlock >= 16 && info->maxBlock >= info->minBlock && knownRate && knownBits &&
         (minFrame == 0 || maxFrame == 0 || minFrame <= maxFrame);
}

bool ParseFrameHeader(CStreamReader& reader, long long position, const StreamInfo& info,
                      FrameHeader* header) {
  long long available = reader.Size() - position;
  if (available < 6) return false;
  uint8_t h[16];
  size_t length = available < 16 ? static_cast<size_t>(available) : 16;
  if (!reader.Read(position, h, length)) return false;
  if (h[0] != 0xFF || (h[1] & 0xFE) != 0xF8) return false;
  unsigned blockCode = h[2] >> 4, rateCode = h[2] & 0xF;
  unsigned assignment = h[3] >> 4, sizeCode = (h[3] >> 1) & 7;
  if (blockCode == 0 || rateCode == 15 || assignment > 10 || sizeCode == 3 || (h[3] & 1))
    return false;
  // The coded frame or sample number, in the UTF-8 style.
  size_t index = 4;
  uint8_t lead = h[index++];
  int extra;
  unsigned long long number;
  if (lead < 0x80) {
    extra = 0, number = lead;
  } else if ((lead & 0xE0) == 0xC0) {
    extra = 1, number = lead & 0x1F;
  } else if ((lead & 0xF0) == 0xE0) {
    extra = 2, number = lead & 0x0F;
  } else if ((lead & 0xF8) == 0xF0) {
    extra = 3, number = lead & 0x07;
  } else if ((lead & 0xFC) == 0xF8) {
    extra = 4, number = lead & 0x03;
  } else if ((lead & 0xFE) == 0xFC) {
    extra = 5, number = lead & 0x01;
  } else if (lead == 0xFE) {
    extra = 6, number = 0;
  } else {
    return false;
  }
  for (int i = 0; i < extra; ++i) {
    if (index >= length || (h[index] & 0xC0) != 0x80) return false;
    number = number << 6 | (h[index++] & 0x3F);
  }
  unsigned blockSize;
  if (blockCode == 1) {
    blockSize = 192;
  } else if (blockCode <= 5) {
    blockSize = 576u << (blockCode - 2);
  } else if (blockCode == 6) {
    if (index >= length) return false;
    blockSize = h[index++] + 1u;
  } else if (blockCode == 7) {
    if (index + 2 > length) return false;
    blockSize = LoadBE16(h + index) + 1u;
    index += 2;
  } else {
    blockSize = 256u << (blockCode - 8);
  }
  if (rateCode == 12) index += 1;
  if (rateCode == 13 || rateCode == 14) index += 2;
  if (index >= length) return false;
  uint8_t crc = 0;
  for (size_t i = 0; i < index; ++i) crc = kCrc.crc8[crc ^ h[i]];
  if (crc != h[index]) return false;
  static const unsigned kSizes[8] = {0, 8, 12, 0, 16, 20, 24, 32};
  header->variable = h[1] & 1;
  header->number = number;
  header->blockSize = blockSize;
  header->channelAssignment = assignment;
  header->channels = assignment <= 7 ? assignment + 1 : 2;
  header->bitsPerSample = sizeCode == 0 ? info.bitsPerSample : kSizes[sizeCode];
  header->length = static_cast<int>(index + 1);
  return true;
}

bool SkipResidual(CBitReader& bits, unsigned blockSize, unsigned order) {
  uint32_t method, partitionOrder;
  if (!bits.Bits(2, &method) || method > 1 || !bits.Bits(4, &partitionOrder)) return false;
  int parameterBits = method == 0 ? 4 : 5;
  uint32_t escape = method == 0 ? 15 : 31;
  unsigned partitions = 1u << partitionOrder;
  unsigned perPartition = blockSize >> partitionOrder;
  if ((blockSize & (partitions - 1)) != 0 || perPartition < order) return false;
  for (unsigned i = 0; i < partitions; ++i) {
    unsigned samples = perPartition - (i == 0 ? order : 0);
    uint32_t parameter;
    if (!bits.Bits(parameterBits, &parameter)) return false;
    if (parameter == escape) {
      uint32_t rawBits;
      if (!bits.Bits(5, &rawBits) || !bits.Skip(static_cast<unsigned long long>(samples) * rawBits))
        return false;
      continue;
    }
    for (unsigned s = 0; s < samples; ++s) {
      uint32_t zeros, low;
      if (!bits.Unary(&zeros) || !bits.Bits(static_cast<int>(parameter), &low)) return false;
    }
  }
  return true;
}

bool SkipSubframe(CBitReader& bits, const FrameHeader& header, unsigned sampleBits) {
  uint32_t pad, type, wastedFlag;
  if (!bits.Bits(1, &pad) || pad != 0 || !bits.Bits(6, &type) || !bits.Bits(1, &wastedFlag))
    return false;
  if (wastedFlag) {
    uint32_t wasted;
    if (!bits.Unary(&wasted) || wasted + 1 >= sampleBits) return false;
    sampleBits -= wasted + 1;
  }
  unsigned blockSize = header.blockSize;
  if (type == 0) return bits.Skip(sampleBits);
  if (type == 1) return bits.Skip(static_cast<unsigned long long>(blockSize) * sampleBits);
  if (type >= 8 && type <= 12) {
    unsigned order = type - 8;
    if (order > blockSize) return false;
    return bits.Skip(static_cast<unsigned long long>(order) * sampleBits) &&
           SkipResidual(bits, blockSize, order);
  }
  if (type >= 32) {
    unsigned order = (type & 31) + 1;
    uint32_t precision, shift;
    if (order > blockSize || !bits.Skip(static_cast<unsigned long long>(order) * sampleBits) ||
        !bits.Bits(4, &precision) || precision == 15 || !bits.Bits(5, &shift))
      return false;
    return bits.Skip(static_cast<unsigned long long>(order) * (precision + 1)) &&
           SkipResidual(bits, blockSize, order);
  }
  return false;
}

bool SideChannel(unsigned assignment, unsigned channel) {
  return (assignment == 8 && channel == 1) || (assignment == 9 && channel == 0) ||
         (assignment == 10 && channel == 1);
}

// Length of the frame at `position`, 0 when it is not a whole valid frame. `cutOff` tells that
// the frame ran into the end of the data.
long long FrameLength(CStreamReader& reader, long long position, const FrameHeader& header,
                      bool* cutOff) {
  // No encoder writes a frame much larger than the samples stored raw.
  long long bound =
      static_cast<long long>(header.blockSize) * header.channels * (header.bitsPerSample + 1) / 8 +
      4096;
  long long limit = position + bound;
  if (limit > reader.Size()) limit = reader.Size();
  CBitReader bits(reader, position + header.length, limit);
  for (unsigned channel = 0; channel < header.channels; ++channel) {
    unsigned sampleBits =
        header.bitsPerSample + (SideChannel(header.channelAssignment, channel) ? 1 : 0);
    if (!SkipSubframe(bits, header, sampleBits)) {
      *cutOff = bits.HitLimit() && limit == reader.Size();
      return 0;
    }
  }
  long long end = bits.AlignedPosition() + 2;
  if (end > reader.Size()) {
    *cutOff = true;
    return 0;
  }
  uint16_t crc = 0;
  for (long long at = position; at < end;) {
    size_t span =
        static_cast<size_t>(end - at < static_cast<long long>(kChunk) ? end - at : kChunk);
    const uint8_t* p = reader.Peek(at, span);
    if (p == nullptr) return 0;
    for (size_t i = 0; i < span; ++i)
      crc = static_cast<uint16_t>(crc << 8) ^ kCrc.crc16[(crc >> 8) ^ p[i]];
    at += static_cast<long long>(span);
  }
  return crc == 0 ? end - position : 0;
}

}  // namespace

bool FollowFlac(CStreamReader& reader, long long from, long long limit, Extent* extent) {
  const uint8_t* p = reader.Peek(from, 8);
  if (p == nullptr || memcmp(p, "fLaC", 4) != 0 || (p[4] & 0x7F) != kStreamInfoType ||
      (static_cast<uint32_t>(p[5]) << 16 | p[6] << 8 | p[7]) != kStreamInfoSize)
    return false;
  StreamInfo info;
  p = reader.Peek(from + 8, kStreamInfoSize);
  if (p == nullptr || !ParseStreamInfo(p, &info)) return false;
  long long position = from + 4;
  bool last = false;
  for (int blocks = 0; !last; ++blocks) {
    if (blocks >= kMaxMetadataBlocks) return false;
    p = reader.Peek(position, 4);
    if (p == nullptr) break;
    last = p[0] & 0x80;
    int type = p[0] & 0x7F;
    if (type > 6 || (type == kStreamInfoType) != (blocks == 0)) return false;
    long long size = static_cast<long long>(p[1]) << 16 | p[2] << 8 | p[3];
    position += 4 + size;
  }
  if (!last || position > reader.Size()) {
    extent->offSource = true;
    extent->end = position < reader.Size() ? position : reader.Size();
    extent->extension = "flac";
    return true;
  }
  extent->extension = "flac";
  unsigned long long samples = 0;
  unsigned long long frames = 0;
  bool variable = false;
  while (info.totalSamples == 0 || samples < info.totalSamples) {
    FrameHeader header;
    if (!ParseFrameHeader(reader, position, info, &header)) {
      // Data ending inside a frame header, or before the first frame, is a file cut short.
      long long left = reader.Size() - position;
      extent->offSource = (left > 0 && left < 16) || (left == 0 && frames == 0);
      break;
    }
    if (frames == 0) variable = header.variable;
    bool inSequence = header.variable ? header.number == samples : header.number == frames;
    if (header.variable != variable || !inSequence || header.channels != info.channels ||
        header.bitsPerSample != info.bitsPerSample || header.blockSize > info.maxBlock)
      break;
    bool cutOff = false;
    long long length = FrameLength(reader, position, header, &cutOff);
    if (length == 0) {
      extent->offSource = cutOff;
      break;
    }
    if (position + length > limit) {
      extent->pastLimit = true;
      break;
    }
    position += length;
    samples += header.blockSize;
    ++frames;
  }
  // Metadata that chains to its last block after a valid STREAMINFO is this file's start
  // even when no frame follows whole (the first one cut by fragmentation): reported damaged,
  // for reassembly to find the rest.
  extent->end = position;
  if (info.totalSamples != 0) {
    extent->complete = samples == info.totalSamples;
  } else {
    extent->complete = frames > 0 && !extent->offSource && !extent->pastLimit;
  }
  return true;
}

}  // namespace audio
}  // namespace salvor
