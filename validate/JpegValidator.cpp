// JPEG: libjpeg-turbo decodes every entropy-coded bit (sequential files at 1/8 scale, which
// leaves the inverse DCT next to nothing; progressive files into coefficients only), while a
// marker walk running one read ahead of it checks what the decoder lets pass: the bytes after
// each 0xFF, the order of restart markers, whole sectors of one byte value. Restart markers
// and markers the decoder read past without complaint are the proof of what belongs.

// clang-format off
#include <cstdio>
#include <jpeglib.h>
#include <jerror.h>
// The entropy decoder's interface, through which each decoded block is checked.
#include <jpegint.h>
// clang-format on

#include <algorithm>
#include <csetjmp>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "validate/Formats.h"
#include "validate/Spans.h"

namespace salvor {
namespace {

constexpr long long kSector = 512;
// The span is read and handed to the decoder in reads of this size, aligned to it so that a
// sector never straddles two reads. libjpeg-turbo's fast Huffman path wants a few KiB ahead.
constexpr long long kRead = 64 * 1024;
constexpr long kMaxDecoderMemory = 256L << 20;
// Progressive decoding visits every block once per scan; real files have a few dozen scans.
constexpr int kMaxScans = 256;
// A DC coefficient times its quantizer lies within [-1024, 1016] for 8-bit samples, give or
// take half a quantizer step; decoded garbage walks away from it block by block.
constexpr int kDcLimit = 1024;
// After the last block of a restart interval or scan only padding bits remain before the
// marker that ends it; the decoder may have read a few bytes ahead into its bit buffer.
constexpr long long kSegmentEndSlack = 8;
// The MP index of a multi-picture file lists at most a few images.
constexpr uint32_t kMaxMpImages = 32;

bool IsRestart(uint8_t code) {
  return code >= 0xD0 && code <= 0xD7;
}
// SOFn: C0..CF except DHT (C4), JPG (C8) and DAC (CC).
bool IsFrame(uint8_t code) {
  return code >= 0xC0 && code <= 0xCF && code != 0xC4 && code != 0xC8 && code != 0xCC;
}
uint16_t Be16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

// A point before which the bytes are proven to belong once the decoder has read beyond
// `confirmAfter` without complaint.
struct Proof {
  long long goodUntil;
  long long confirmAfter;
};

// Follows markers, segments and entropy-coded data as the bytes arrive, one read ahead of the
// decoder, and stops at the EOI, at the first byte that cannot belong, or where a decoder
// could not tell anything (too many scans).
class MarkerWalk {
 public:
  enum class Stop { kNone, kEnd, kDamage, kTooComplex };

  MarkerWalk() {
    // What libjpeg-turbo installs for tables a file leaves out (motion-JPEG frames): the
    // all-zero code means DC difference 0 in both DC tables, and EOB only in AC table 1.
    zeroSymbol_[0][0] = zeroSymbol_[0][1] = 0;
    zeroSymbol_[1][0] = 0x01;
    zeroSymbol_[1][1] = 0;
  }

  // Walks bytes [at, at + n), which continue those walked before.
  void Walk(const uint8_t* data, size_t n, long long at);

  Stop stop() const { return stop_; }
  long long stopAt() const { return stopAt_; }
  const char* reason() const { return reason_; }
  // The first segment boundary (a marker, the start of entropy-coded data) at or after
  // `from`; past what was walked when none was seen yet.
  long long NextBoundary(long long from) const {
    const auto next = std::lower_bound(boundaries_.begin(), boundaries_.end(), from);
    if (next != boundaries_.end()) return *next;
    return stop_ == Stop::kNone ? walked_ : stopAt_;
  }

  // The latest proof confirmed by the decoder having read to `consumed` without complaint.
  long long Confirm(long long consumed) {
    size_t kept = 0;
    for (const Proof& proof : proofs_) {
      if (proof.confirmAfter < consumed)
        confirmed_ = std::max(confirmed_, proof.goodUntil);
      else
        proofs_[kept++] = proof;
    }
    proofs_.resize(kept);
    boundaries_.erase(boundaries_.begin(),
                      std::lower_bound(boundaries_.begin(), boundaries_.end(), consumed));
    return confirmed_;
  }

  // The MP index (APP2 "MPF") of the main image, and where its offsets count from.
  const std::vector<uint8_t>& mpIndex() const { return mpIndex_; }
  long long mpBase() const { return mpBase_; }

 private:
  enum class State {
    kSoi0,
    kSoi1,
    kMarker,  // between segments: a marker must come
    kCode,    // after 0xFF: the marker code or fill bytes
    kLength0,
    kLength1,
    kBody,  // a segment body being kept
    kSkip,  // a segment body passed over
    kEntropy,
    kEntropyFF,
  };

  // Proofs hold only where the decoder checks what came before: not after the first scan of
  // an arithmetic-coded file, whose decoder pads a scan that ends early with zeros unasked.
  void Prove(long long goodUntil, long long confirmAfter) {
    if (!arithmetic_ || scans_ == 0) proofs_.push_back({goodUntil, confirmAfter});
  }
  void Fail(long long at, const char* reason) {
    stop_ = Stop::kDamage;
    stopAt_ = at;
    reason_ = reason;
  }
  void Code(uint8_t code, long long at);
  void EndSegment(long long at);
  void StartScan(long long at);
  size_t WalkEntropy(const uint8_t* data, size_t n, long long base, size_t i);
  bool UniformSector(const uint8_t* data, size_t n, long long base, long long sector);

  State state_ = State::kSoi0;
  Stop stop_ = Stop::kNone;
  long long stopAt_ = -1;
  const char* reason_ = "";

  uint8_t code_ = 0;           // marker of the segment being read
  long long markerAt_ = 0;     // where its 0xFF stands
  uint32_t remaining_ = 0;     // body bytes still to come
  std::vector<uint8_t> body_;  // the body, for the segments the walk reads
  bool keep_ = false;

  bool frame_ = false;
  bool arithmetic_ = false;
  bool lossless_ = false;
  int scans_ = 0;
  unsigned restartInterval_ = 0;
  unsigned scanInterval_ = 0;
  int nextRestart_ = 0;
  // Whether a whole sector of zero bytes could be this scan's data: only where the all-zero
  // code means "no change" in every table the scan uses (a flat area with optimised tables).
  bool zerosFlat_ = false;
  int zeroSymbol_[2][4] = {{-1, -1, -1, -1}, {-1, -1, -1, -1}};

  std::vector<Proof> proofs_;
  std::vector<long long> boundaries_;  // ahead of the decoder, in order
  long long walked_ = 0;
  long long confirmed_ = 0;
  std::vector<uint8_t> mpIndex_;
  long long mpBase_ = -1;
};

void MarkerWalk::Walk(const uint8_t* data, size_t n, long long base) {
  walked_ = base + static_cast<long long>(n);
  size_t i = 0;
  while (i < n && stop_ == Stop::kNone) {
    const long long at = base + static_cast<long long>(i);
    const uint8_t byte = data[i];
    switch (state_) {
      case State::kSoi0:
      case State::kSoi1:
        if (byte != (state_ == State::kSoi0 ? 0xFF : 0xD8)) return Fail(at, "no SOI marker");
        state_ = state_ == State::kSoi0 ? State::kSoi1 : State::kMarker;
        ++i;
        break;
      case State::kMarker:
        if (byte != 0xFF) return Fail(at, "no marker where a segment should begin");
        markerAt_ = at;
        state_ = State::kCode;
        ++i;
        break;
      case State::kCode:
        ++i;
        if (byte == 0xFF) break;  // fill byte
        Code(byte, at);
        break;
      case State::kLength0:
        remaining_ = static_cast<uint32_t>(byte) << 8;
        state_ = State::kLength1;
        ++i;
        break;
      case State::kLength1:
        remaining_ |= byte;
        if (remaining_ < 2) return Fail(at, "segment length below 2");
        remaining_ -= 2;
        body_.clear();
        state_ = keep_ ? State::kBody : State::kSkip;
        ++i;
        if (remaining_ == 0) EndSegment(at + 1);
        break;
      case State::kBody:
      case State::kSkip: {
        const size_t take = std::min<size_t>(n - i, remaining_);
        if (state_ == State::kBody) body_.insert(body_.end(), data + i, data + i + take);
        i += take;
        remaining_ -= static_cast<uint32_t>(take);
        if (remaining_ == 0) EndSegment(base + static_cast<long long>(i));
        break;
      }
      case State::kEntropy:
        i = WalkEntropy(data, n, base, i);
        break;
      case State::kEntropyFF:
        if (byte == 0xFF && at % kSector == 0 && UniformSector(data, n, base, at))
          return Fail(at, "a sector of 0xFF bytes inside entropy-coded data");
        ++i;
        if (byte == 0x00 || byte == 0xFF) {  // stuffed byte; fill byte before a marker
          if (byte == 0x00) state_ = State::kEntropy;
        } else if (IsRestart(byte)) {
          if (scanInterval_ == 0) return Fail(at, "restart marker without a restart interval");
          if (byte - 0xD0 != nextRestart_) return Fail(at, "restart marker out of order");
          nextRestart_ = (nextRestart_ + 1) & 7;
          Prove(at + 1, at + 1);
          boundaries_.push_back(at - 1);
          state_ = State::kEntropy;
        } else {
          // The decoder checks that the scan's last block ends right here.
          markerAt_ = at - 1;
          Prove(markerAt_, at + 1);
          Code(byte, at);
        }
        break;
    }
  }
}

void MarkerWalk::Code(uint8_t code, long long at) {
  const auto accept = [this] { boundaries_.push_back(markerAt_); };
  if (code == 0xD9) {
    if (scans_ == 0) return Fail(at, "EOI before any scan");
    accept();
    stop_ = Stop::kEnd;
    stopAt_ = at + 1;
    return;
  }
  if (code == 0x01) {  // TEM stands alone
    state_ = State::kMarker;
    return;
  }
  if (code == 0x00) return Fail(at, "stuffed zero outside entropy-coded data");
  if (code == 0xD8) return Fail(at, "SOI inside an image");
  if (IsRestart(code)) return Fail(at, "restart marker outside entropy-coded data");
  if (code < 0xC0 || code == 0xDE || code == 0xDF || (code >= 0xF0 && code <= 0xFD))
    return Fail(at, "reserved marker code");
  if (IsFrame(code) && frame_) return Fail(at, "second frame header");
  if ((code == 0xDA || code == 0xDC) && !frame_) return Fail(at, "scan before the frame header");
  accept();
  code_ = code;
  keep_ = IsFrame(code) || code == 0xC4 || code == 0xDA || code == 0xDD ||
          (code == 0xE2 && scans_ == 0 && mpBase_ < 0);
  state_ = State::kLength0;
}

void MarkerWalk::EndSegment(long long at) {
  state_ = State::kMarker;
  const uint8_t* d = body_.data();
  const size_t n = body_.size();
  if (IsFrame(code_)) {
    frame_ = true;
    arithmetic_ = code_ >= 0xC8;
    lossless_ = code_ == 0xC3 || code_ == 0xC7 || code_ == 0xCB || code_ == 0xCF;
  } else if (code_ == 0xC4) {
    for (size_t p = 0; p + 17 <= n;) {
      const int cls = d[p] >> 4, id = d[p] & 15;
      size_t symbols = 0;
      for (size_t k = 1; k <= 16; ++k) symbols += d[p + k];
      if (cls > 1 || id > 3 || symbols == 0 || p + 17 + symbols > n) break;  // decoder's to say
      zeroSymbol_[cls][id] = d[p + 17];
      p += 17 + symbols;
    }
  } else if (code_ == 0xDD) {
    if (n == 2) restartInterval_ = Be16(d);
  } else if (code_ == 0xE2) {
    if (n >= 8 && std::memcmp(d, "MPF", 4) == 0) {
      mpIndex_.assign(d + 4, d + n);
      mpBase_ = markerAt_ + 8;
    }
  } else if (code_ == 0xDA) {
    StartScan(at);
  }
}

void MarkerWalk::StartScan(long long at) {
  const uint8_t* d = body_.data();
  const size_t n = body_.size();
  if (++scans_ > kMaxScans) {
    stop_ = Stop::kTooComplex;
    stopAt_ = at;
    return;
  }
  scanInterval_ = restartInterval_;
  nextRestart_ = 0;
  zerosFlat_ = true;
  if (!arithmetic_ && n >= 1 && n == 4 + 2u * d[0]) {
    const uint8_t ss = d[n - 3], se = d[n - 2], ah = d[n - 1] >> 4;
    const bool dc = lossless_ || (ss == 0 && ah == 0), ac = !lossless_ && se > 0;
    for (unsigned c = 0; c < d[0]; ++c) {
      const uint8_t tables = d[2 + 2 * c];
      if (dc && ((tables >> 4) > 3 || zeroSymbol_[0][tables >> 4] != 0)) zerosFlat_ = false;
      if (ac && ((tables & 15) > 3 || zeroSymbol_[1][tables & 15] != 0)) zerosFlat_ = false;
    }
  }
  boundaries_.push_back(at);
  state_ = State::kEntropy;
}

// Whether the whole sector at `sector` (a multiple of kSector) holds one byte value. Sectors
// that run past the bytes at hand are not judged.
bool MarkerWalk::UniformSector(const uint8_t* data, size_t n, long long base, long long sector) {
  const long long offset = sector - base;
  if (offset < 0 || offset + kSector > static_cast<long long>(n)) return false;
  const uint8_t* s = data + offset;
  return std::memcmp(s, s + 1, kSector - 1) == 0;
}

size_t MarkerWalk::WalkEntropy(const uint8_t* data, size_t n, long long base, size_t i) {
  const void* hit = std::memchr(data + i, 0xFF, n - i);
  const size_t ff = hit ? static_cast<size_t>(static_cast<const uint8_t*>(hit) - data) : n;
  // Every whole sector from here to the next 0xFF (a run of 0xFF starting there included).
  const long long from = base + static_cast<long long>(i);
  for (long long sector = (from + kSector - 1) / kSector * kSector;
       sector <= base + static_cast<long long>(ff); sector += kSector) {
    if (!UniformSector(data, n, base, sector)) continue;
    if (data[sector - base] != 0 || !zerosFlat_) {
      Fail(sector, "a sector of one byte value inside entropy-coded data");
      return n;
    }
  }
  if (ff == n) return n;
  state_ = State::kEntropyFF;
  return ff + 1;
}

// What the decoder reaches through its callbacks: trivially destructible, since it lives
// across setjmp and longjmp.
struct Decoder {
  jpeg_decompress_struct cinfo;
  jpeg_error_mgr errors;
  jpeg_source_mgr source;
  jmp_buf jump;

  ByteSpan* span;
  MarkerWalk* walk;
  uint8_t* buffer;   // kRead bytes
  long long handed;  // span offset one past the bytes handed to the decoder
  long long limit;   // nothing at or past it is handed over (the walk's stop)
  long long size;

  // The entropy decoder's own functions, which the checked ones wrap.
  jpeg_progress_mgr progress;
  void (*startPass)(j_decompress_ptr);
  boolean (*decodeMcu)(j_decompress_ptr, JBLOCKROW*);
  unsigned long long mcus;  // decoded in this scan
  unsigned long long lastMcu;
  // Inside an MCU the decoder keeps its read position to itself: a warning there is acted on
  // once the MCU is done and the position known.
  bool inMcu;
  bool deferred;

  bool recorded;
  bool complained;
  bool ranDry;
  bool unsupported;
  long long complaintAt;
  char message[JMSG_LENGTH_MAX];
};

Decoder* Of(j_common_ptr cinfo) {
  return static_cast<Decoder*>(cinfo->client_data);
}

long long Consumed(const Decoder& d) {
  return d.handed - static_cast<long long>(d.source.bytes_in_buffer);
}

// Reads the next piece of the span, walks it and hands what the walk let pass to the decoder.
// False when there is nothing more to hand over.
bool Refill(Decoder& d) {
  d.walk->Confirm(d.handed);
  if (d.handed >= d.limit) return false;
  const long long want = std::min(kRead - d.handed % kRead, d.size - d.handed);
  const long long got = want > 0 ? d.span->Read(d.handed, d.buffer, want) : 0;
  if (got <= 0) {
    d.limit = d.handed;
    return false;
  }
  if (d.walk->stop() == MarkerWalk::Stop::kNone) {
    d.walk->Walk(d.buffer, static_cast<size_t>(got), d.handed);
    if (d.walk->stop() != MarkerWalk::Stop::kNone) d.limit = std::min(d.limit, d.walk->stopAt());
  }
  if (got < want) d.limit = std::min(d.limit, d.handed + got);
  const long long hand = std::min(got, d.limit - d.handed);
  if (hand <= 0) return false;
  d.source.next_input_byte = d.buffer;
  d.source.bytes_in_buffer = static_cast<size_t>(hand);
  d.handed += hand;
  return true;
}

// Notes the first complaint and where the decoder stood.
void Record(Decoder& d, const char* message, long long at) {
  if (d.recorded) return;
  d.recorded = true;
  std::snprintf(d.message, sizeof d.message, "%s", message);
  d.complaintAt = at;
}

[[noreturn]] void Stop(Decoder& d) {
  d.complained = true;
  std::longjmp(d.jump, 1);
}

[[noreturn]] void Complain(Decoder& d, const char* message) {
  Record(d, message, Consumed(d));
  Stop(d);
}

void InitSource(j_decompress_ptr) {}
void TermSource(j_decompress_ptr) {}

boolean FillInput(j_decompress_ptr cinfo) {
  Decoder& d = *Of(reinterpret_cast<j_common_ptr>(cinfo));
  if (!Refill(d)) {
    d.ranDry = true;
    Complain(d, "");
  }
  return TRUE;
}

void SkipInput(j_decompress_ptr cinfo, long count) {
  Decoder& d = *Of(reinterpret_cast<j_common_ptr>(cinfo));
  while (count > static_cast<long>(d.source.bytes_in_buffer)) {
    count -= static_cast<long>(d.source.bytes_in_buffer);
    d.source.bytes_in_buffer = 0;
    FillInput(cinfo);
  }
  if (count > 0) {
    d.source.next_input_byte += count;
    d.source.bytes_in_buffer -= static_cast<size_t>(count);
  }
}

// Errors that say the library cannot decode this kind of file, not that it is broken.
bool Unsupported(int code) {
  switch (code) {
    case JERR_SOF_UNSUPPORTED:
    case JERR_NOT_COMPILED:
    case JERR_BAD_PRECISION:
    case JERR_EMPTY_IMAGE:
    case JERR_IMAGE_TOO_BIG:
    case JERR_WIDTH_OVERFLOW:
    case JERR_NO_BACKING_STORE:
    case JERR_OUT_OF_MEMORY:
      return true;
    default:
      return false;
  }
}

// The decoder reads a segment (or an MCU) with a copy of its read position and gives it
// back at the end: a fatal error in between is placed at the end of what it was reading.
void ErrorExit(j_common_ptr cinfo) {
  Decoder& d = *Of(cinfo);
  char text[JMSG_LENGTH_MAX];
  (*cinfo->err->format_message)(cinfo, text);
  d.unsupported = !d.recorded && Unsupported(cinfo->err->msg_code);
  Record(d, text, d.inMcu ? d.handed : std::min(d.handed, d.walk->NextBoundary(Consumed(d) + 1)));
  Stop(d);
}

// Warnings that mean the data is corrupt; the others are about harmless oddities.
void EmitMessage(j_common_ptr cinfo, int level) {
  if (level >= 0) return;
  switch (cinfo->err->msg_code) {
    case JWRN_HIT_MARKER:
    case JWRN_EXTRANEOUS_DATA:
    case JWRN_MUST_RESYNC:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_ARITH_BAD_CODE:
    case JWRN_NOT_SEQUENTIAL:
    case JWRN_BOGUS_PROGRESSION:
    case JWRN_JPEG_EOF: {
      Decoder& d = *Of(cinfo);
      char text[JMSG_LENGTH_MAX];
      (*cinfo->err->format_message)(cinfo, text);
      if (!d.inMcu) Complain(d, text);
      Record(d, text, d.handed);
      d.deferred = true;
      return;
    }
    default:
      return;
  }
}

void OutputMessage(j_common_ptr) {}

// Checks each block as the entropy decoder hands it over: the decoder itself lets any bit
// pattern pass that its tables can read.
boolean CheckedDecodeMcu(j_decompress_ptr cinfo, JBLOCKROW* blocks) {
  Decoder& d = *Of(reinterpret_cast<j_common_ptr>(cinfo));
  d.inMcu = true;
  const boolean decoded = d.decodeMcu(cinfo, blocks);
  d.inMcu = false;
  if (d.deferred) {
    d.complaintAt = Consumed(d);
    Stop(d);
  }
  if (!decoded) return FALSE;
  for (int b = 0; b < cinfo->blocks_in_MCU && cinfo->Ss == 0; ++b) {
    const jpeg_component_info* component = cinfo->cur_comp_info[cinfo->MCU_membership[b]];
    const int q = component->quant_table->quantval[0];
    const int dc = blocks[b][0][0] * q;
    if (dc < -kDcLimit - q || dc > kDcLimit + q) Complain(d, "DC coefficient out of range");
  }
  ++d.mcus;
  // Unless the decoder already stands at the marker (it read it while filling its buffer).
  if ((d.mcus == d.lastMcu || (cinfo->restart_interval && d.mcus % cinfo->restart_interval == 0)) &&
      cinfo->unread_marker == 0) {
    const long long at = Consumed(d);
    if (d.walk->NextBoundary(at) - at > kSegmentEndSlack)
      Complain(d, "entropy-coded data goes on after the last block before a marker");
  }
  return TRUE;
}

// Each scan's start sets the decoder's function for that kind of scan; wrap it again.
void WrapDecodeMcu(j_decompress_ptr cinfo) {
  Decoder& d = *Of(reinterpret_cast<j_common_ptr>(cinfo));
  if (cinfo->entropy->decode_mcu != CheckedDecodeMcu) {
    d.decodeMcu = cinfo->entropy->decode_mcu;
    cinfo->entropy->decode_mcu = CheckedDecodeMcu;
  }
  d.mcus = 0;
  d.lastMcu = static_cast<unsigned long long>(cinfo->MCUs_per_row) * cinfo->MCU_rows_in_scan;
}

void CheckedStartPass(j_decompress_ptr cinfo) {
  Of(reinterpret_cast<j_common_ptr>(cinfo))->startPass(cinfo);
  WrapDecodeMcu(cinfo);
}

// Called before the decoder reads any entropy-coded data (and often after): the first call
// finds the entropy decoder made and its first scan started.
void Progress(j_common_ptr common) {
  Decoder& d = *Of(common);
  j_decompress_ptr cinfo = &d.cinfo;
  if (d.startPass != nullptr || cinfo->entropy == nullptr) return;
  d.startPass = cinfo->entropy->start_pass;
  cinfo->entropy->start_pass = CheckedStartPass;
  WrapDecodeMcu(cinfo);
}

// Decodes the whole image; returns normally when the decoder read the EOI, by longjmp to
// here when it or the walk complained. Holds nothing with a destructor.
void RunDecoder(Decoder& d) {
  if (setjmp(d.jump)) return;
  jpeg_decompress_struct& cinfo = d.cinfo;
  cinfo.err = jpeg_std_error(&d.errors);
  d.errors.error_exit = ErrorExit;
  d.errors.emit_message = EmitMessage;
  d.errors.output_message = OutputMessage;
  cinfo.client_data = &d;
  jpeg_create_decompress(&cinfo);
  cinfo.mem->max_memory_to_use = kMaxDecoderMemory;
  d.source.init_source = InitSource;
  d.source.fill_input_buffer = FillInput;
  d.source.skip_input_data = SkipInput;
  d.source.resync_to_restart = jpeg_resync_to_restart;
  d.source.term_source = TermSource;
  d.source.next_input_byte = nullptr;
  d.source.bytes_in_buffer = 0;
  cinfo.src = &d.source;
  d.progress.progress_monitor = Progress;
  cinfo.progress = &d.progress;
  if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK) Complain(d, "no image");
  if (jpeg_has_multiple_scans(&cinfo)) {
    // Progressive or one scan per component: the coefficients of every scan, no output.
    if (jpeg_read_coefficients(&cinfo) == nullptr) Complain(d, "no coefficients");
  } else {
    cinfo.raw_data_out = TRUE;
    cinfo.scale_num = 1;
    cinfo.scale_denom = 8;
    cinfo.dct_method = JDCT_ISLOW;
    jpeg_start_decompress(&cinfo);
    JSAMPARRAY rows[MAX_COMPONENTS];
    for (int c = 0; c < cinfo.num_components; ++c) {
      const jpeg_component_info& component = cinfo.comp_info[c];
      rows[c] = (*cinfo.mem->alloc_sarray)(
          reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE,
          component.width_in_blocks * static_cast<JDIMENSION>(component.DCT_scaled_size),
          static_cast<JDIMENSION>(component.v_samp_factor * component.DCT_scaled_size));
    }
    const JDIMENSION lines =
        static_cast<JDIMENSION>(cinfo.max_v_samp_factor * cinfo.min_DCT_scaled_size);
    while (cinfo.output_scanline < cinfo.output_height) {
      if (jpeg_read_raw_data(&cinfo, rows, lines) == 0) Complain(d, "no data");
    }
  }
  if (!jpeg_finish_decompress(&cinfo)) Complain(d, "a scan after the last one");
}

// Where the images an MP index lists after the first begin (its offsets count from `base`).
std::vector<long long> MpImages(const std::vector<uint8_t>& index, long long base) {
  std::vector<long long> images;
  const size_t n = index.size();
  if (n < 8) return images;
  const bool little = index[0] == 'I';
  const auto u16 = [&](size_t at) -> uint32_t {
    return little ? index[at] | index[at + 1] << 8 : index[at] << 8 | index[at + 1];
  };
  const auto u32 = [&](size_t at) -> uint32_t {
    return little ? u16(at) | u16(at + 2) << 16 : u16(at) << 16 | u16(at + 2);
  };
  const uint32_t ifd = u32(4);
  if (ifd > n || n - ifd < 2) return images;
  const uint32_t entries = u16(ifd);
  for (uint32_t e = 0; e < entries && ifd + 2 + 12 * (e + 1) <= n; ++e) {
    const size_t entry = ifd + 2 + 12 * e;
    if (u16(entry) != 0xB002) continue;
    const uint32_t count = u32(entry + 4), at = u32(entry + 8);
    if (count % 16 != 0 || count / 16 > kMaxMpImages || at > n || n - at < count) break;
    for (uint32_t image = 1; image < count / 16; ++image) {
      const size_t record = at + 16 * image;
      const uint32_t size = u32(record + 4), offset = u32(record + 8);
      if (offset != 0 && size != 0) images.push_back(base + offset);
    }
  }
  return images;
}

Validation Check(ByteSpan& bytes, bool withMpImages) {
  auto walk = std::make_unique<MarkerWalk>();
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kRead]);
  auto decoder = std::make_unique<Decoder>();
  Decoder& d = *decoder;
  std::memset(&d, 0, sizeof d);
  d.span = &bytes;
  d.walk = walk.get();
  d.buffer = buffer.get();
  d.size = bytes.Size();
  d.limit = d.size;
  RunDecoder(d);
  jpeg_destroy_decompress(&d.cinfo);

  const long long size = d.size;
  // Why the decoder got no further bytes.
  const auto ranOut = [&d, &walk, size]() -> const char* {
    if (walk->stop() == MarkerWalk::Stop::kDamage && d.limit == walk->stopAt())
      return walk->reason();
    if (d.limit >= size) return "cut short";
    return walk->stop() == MarkerWalk::Stop::kEnd ? "image data runs past the EOI" : "unreadable";
  };
  if (d.complained && d.unsupported) {
    // Nothing decodes it here; the walk alone still finds where it ends or breaks.
    while (walk->stop() == MarkerWalk::Stop::kNone && Refill(d)) {
    }
    if (walk->stop() == MarkerWalk::Stop::kEnd || walk->stop() == MarkerWalk::Stop::kTooComplex)
      return Validation::CannotTell();
    return Validation::Damaged(0, d.limit, ranOut());
  }
  if (d.complained) {
    if (walk->stop() == MarkerWalk::Stop::kTooComplex && d.ranDry) return Validation::CannotTell();
    const long long at = d.ranDry ? d.limit : std::min(d.complaintAt, d.limit);
    return Validation::Damaged(std::min(walk->Confirm(at), at), at,
                               d.ranDry ? ranOut() : d.message);
  }
  const long long end = Consumed(d);
  if (walk->stop() != MarkerWalk::Stop::kEnd || walk->stopAt() != end)
    return Validation::Damaged(walk->Confirm(end), end, "decoder and marker walk disagree");
  long long fileEnd = end;
  if (withMpImages) {
    for (const long long offset : MpImages(walk->mpIndex(), walk->mpBase())) {
      if (offset < end) continue;  // an index pointing into the main image is not followed
      if (offset >= size) return Validation::Damaged(fileEnd, size, "cut short");
      SubSpan image(bytes, offset, size - offset);
      const Validation v = Check(image, false);
      if (v.verdict == Verdict::kDamaged)
        return Validation::Damaged(std::max(fileEnd, offset + v.goodUntil), offset + v.damagedAt,
                                   "MP image: " + v.reason);
      if (v.verdict == Verdict::kCannotTell) return v;
      fileEnd = std::max(fileEnd, offset + v.end);
    }
  }
  return Validation::Intact(fileEnd);
}

}  // namespace

Validation ValidateJpeg(ByteSpan& bytes) {
  return Check(bytes, true);
}

bool CouldContinueJpeg(const unsigned char* block, long long size) {
  // Entropy-coded data stuffs every 0xFF with 0x00; only restart markers and the end of the
  // image may follow a 0xFF there (or fill bytes before them), and between the scans of a
  // progressive image the tables and header of the next scan.
  for (long long i = 0; i + 1 < size; ++i) {
    if (block[i] != 0xFF) continue;
    const unsigned char next = block[i + 1];
    const bool restart = next >= 0xD0 && next <= 0xD7;
    const bool betweenScans = next == 0xC4 || next == 0xDA || next == 0xDD;
    if (next != 0x00 && next != 0xFF && next != 0xD9 && !restart && !betweenScans) return false;
  }
  return true;
}

}  // namespace salvor
