#pragma once

class CDataStream;

// A preview plug-in object. The engine only registers it, lists it and asks its identifier;
// the rest is what a host needs to show a recovered file without an image library of its own:
// a name, the MIME types it can show, a one-line description, a small picture of the file and
// what the file says of itself (size in pixels, when it was taken).
//
// The operations keep their order: new ones are appended after the last. Streams are borrowed
// for the duration of one call and may be moved; a handler is not called from two threads at
// once. No operation throws; damaged or hostile files give false or 0, never a crash.
class CPreviewHandler {
 public:
  virtual ~CPreviewHandler() {}
  virtual const char* GetUniqueID() = 0;
  virtual const char* GetDisplayName() = 0;
  // True when the handler can preview files of this MIME type.
  virtual bool CanPreview(const char* mimeType) = 0;
  // Writes a NUL-terminated description of file (e.g. "640x480, 24 bit") within textSize.
  virtual bool DescribePreview(CDataStream* file, char* text, int textSize) = 0;

  // Makes a picture of file at most maxWidth x maxHeight pixels (its aspect kept), encoded as
  // a baseline JPEG. Returns the encoded size and writes the picture into buffer when it fits
  // in bufferSize; when it does not fit (or buffer is null) writes nothing and still returns
  // the size, so a caller can ask again with a larger buffer. Returns 0 when nothing of the
  // file decodes. A damaged file gives a picture of what decodes; a sound file a plain icon.
  // Work is bounded in pixels, memory and time whatever the file holds.
  virtual int MakeThumbnail(CDataStream* file, int maxWidth, int maxHeight, unsigned char* buffer,
                            int bufferSize) = 0;
  // What the file records of itself: its size in pixels (0 x 0 for sound, or when unknown) and
  // when it was taken, "YYYY-MM-DDTHH:MM:SS" (local camera time; ending in Z when the file
  // keeps UTC), NUL-terminated within dateSize (empty when it records none). False when the
  // handler cannot read the file at all.
  virtual bool GetPreviewInfo(CDataStream* file, int* width, int* height, char* date,
                              int dateSize) = 0;
};
