#pragma once

class CDataStream;

// A preview plug-in object. The engine only registers it, lists it and asks its identifier;
// the rest is what a host needs to show a recovered file without an image library: a name,
// the MIME types it can show, and a one-line text description of a file.
class CPreviewHandler {
 public:
  virtual ~CPreviewHandler() {}
  virtual const char* GetUniqueID() = 0;
  virtual const char* GetDisplayName() = 0;
  // True when the handler can preview files of this MIME type.
  virtual bool CanPreview(const char* mimeType) = 0;
  // Writes a NUL-terminated description of file (e.g. "640x480, 24 bit") within textSize.
  virtual bool DescribePreview(CDataStream* file, char* text, int textSize) = 0;
};
