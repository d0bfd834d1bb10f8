#pragma once

#include "CPluginBase.h"

class CDataStream;

// A file-type recogniser. Positions are absolute byte positions in the stream handed in;
// -1 means not found or not reported. Streams are borrowed for the duration of one call.
class CContentHandler : public CPluginBase {
 public:
  // MIME types the handler supports, for the log line of a loaded module.
  virtual const char* GetMimeTypes() = 0;
  virtual bool IsEnabled() = 0;
  // The family's name for people, e.g. "JPEG image".
  virtual const char* GetDisplayName() = 0;
  // Every extension the handler produces, ';'-separated, most common first.
  virtual const char* GetFileExtensions() = 0;
  // Looks at a delivered file (positioned at 0; may move the position) and writes the best
  // extension without a dot, NUL-terminated within extensionSize (empty when unknown).
  // Returns true when the file is complete and structurally valid.
  virtual bool DescribeFile(CDataStream* file, char* extension, int extensionSize) = 0;
  // Asked for every block: stream is positioned at the block's first byte.
  virtual bool RecognizeData(CDataStream* stream, long long blockSize, bool* recognized,
                             long long* start, long long* end) = 0;
  // stream starts at the file's first byte; on success *end is the file's length.
  virtual bool FindEndOfFile(CDataStream* stream, long long blockSize, long long* end) = 0;
  // On success *start is the offset within stream of the file's first byte.
  virtual bool FindStartOfFile(CDataStream* stream, long long blockSize, long long* start) = 0;
};
