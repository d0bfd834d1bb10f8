#pragma once

#include <string>

#include "salvor/CPreviewHandler.h"
#include "tests/support/PropertylessHandler.h"

// Handlers that only carry an identifier, which the test may change while they are registered.
class FakeContentHandler : public PropertylessHandler {
 public:
  explicit FakeContentHandler(std::string id) : id(std::move(id)) {}
  const char* GetUniqueID() override { return id.c_str(); }
  const char* GetMimeTypes() override { return "test/fake"; }
  bool IsEnabled() override { return true; }
  const char* GetDisplayName() override { return "Fake"; }
  const char* GetFileExtensions() override { return "fake"; }
  bool DescribeFile(CDataStream*, char*, int) override { return false; }
  bool RecognizeData(CDataStream*, long long, bool*, long long*, long long*) override {
    return false;
  }
  bool FindEndOfFile(CDataStream*, long long, long long*) override { return false; }
  bool FindStartOfFile(CDataStream*, long long, long long*) override { return false; }

  std::string id;
};

class FakePreviewHandler : public CPreviewHandler {
 public:
  explicit FakePreviewHandler(std::string id) : id(std::move(id)) {}
  const char* GetUniqueID() override { return id.c_str(); }
  const char* GetDisplayName() override { return "Fake preview"; }
  bool CanPreview(const char*) override { return false; }
  bool DescribePreview(CDataStream*, char*, int) override { return false; }
  int MakeThumbnail(CDataStream*, int, int, unsigned char*, int) override { return 0; }
  bool GetPreviewInfo(CDataStream*, int*, int*, char*, int) override { return false; }

  std::string id;
};
