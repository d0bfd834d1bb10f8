// The DFXML report writer with hostile strings: every text a module, the user or the source
// can put into the report (names, types, handler ids, paths, settings) comes from the input.
// The report must always parse as XML, hold one fileobject per file added, and give back
// every clean string unchanged.
#include <fuzzer/FuzzedDataProvider.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "report/DfxmlReport.h"

namespace {

std::string gReportPath;

[[noreturn]] void Fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "report fuzz: %s: %s\n", what, detail.c_str());
  std::abort();
}

// Clean text is valid UTF-8 with only characters XML can carry as they are; it must come back
// from the parser exactly. Everything else only has to leave the document well formed.
bool IsClean(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F) return false;
      ++i;
      continue;
    }
    size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
    if (length == 0 || c > 0xF4 || i + length > text.size()) return false;
    unsigned int code = c & (0xFF >> (length + 1));
    for (size_t k = 1; k < length; ++k) {
      unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    static const unsigned int kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kMinimum[length] || code > 0x10FFFF) return false;
    if ((code >= 0xD800 && code <= 0xDFFF) || code == 0xFFFE || code == 0xFFFF) return false;
    i += length;
  }
  return true;
}

std::string Content(xmlNode* node) {
  xmlChar* text = xmlNodeGetContent(node);
  std::string result = text ? reinterpret_cast<const char*>(text) : "";
  xmlFree(text);
  return result;
}

std::string Attribute(xmlNode* node, const char* name) {
  xmlChar* text = xmlGetProp(node, reinterpret_cast<const xmlChar*>(name));
  if (text == nullptr) Fail("missing attribute", name);
  std::string result = reinterpret_cast<const char*>(text);
  xmlFree(text);
  return result;
}

void Collect(xmlNode* node, const char* name, std::vector<xmlNode*>& found) {
  for (; node != nullptr; node = node->next) {
    if (node->type != XML_ELEMENT_NODE) continue;
    if (std::strcmp(reinterpret_cast<const char*>(node->name), name) == 0) found.push_back(node);
    Collect(node->children, name, found);
  }
}

// Text of the only element called name under root, checked against what was written.
void Expect(xmlNode* root, const char* name, const std::string& written) {
  std::vector<xmlNode*> found;
  Collect(root, name, found);
  if (found.size() != 1) Fail("element count", name);
  if (IsClean(written) && Content(found[0]) != written) Fail("text changed", name);
}

void ExpectIn(xmlNode* parent, const char* name, const std::string& written) {
  Expect(parent->children, name, written);
}

std::string ReadAll(const std::string& path) {
  std::string text;
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) Fail("report missing", path);
  char buffer[65536];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) text.append(buffer, got);
  std::fclose(file);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char folder[] = "/tmp/salvor-report-fuzz-XXXXXX";
  if (mkdtemp(folder) == nullptr) Fail("mkdtemp", folder);
  gReportPath = std::string(folder) + "/report.xml";
  xmlInitParser();
  return 0;
}

namespace {

// Everything the report is given comes from the input.
struct ReportInput {
  salvor::ReportHeader header;
  std::vector<salvor::ReportFile> files;
  salvor::ReportOutcome outcome;
};

ReportInput Consume(FuzzedDataProvider& input) {
  ReportInput in;
  salvor::ReportHeader& header = in.header;
  header.version = input.ConsumeRandomLengthString(64);
  header.commandLine = input.ConsumeRandomLengthString(512);
  header.startTime = input.ConsumeRandomLengthString(64);
  size_t settings = input.ConsumeIntegralInRange<size_t>(0, 4);
  for (size_t i = 0; i < settings; ++i) {
    std::string name = input.ConsumeRandomLengthString(64);
    header.settings.emplace_back(name, input.ConsumeRandomLengthString(128));
  }
  header.sourcePath = input.ConsumeRandomLengthString(512);
  header.sourceSize = input.ConsumeIntegral<long long>();
  header.blockSize = input.ConsumeIntegral<long long>();
  in.files.resize(input.ConsumeIntegralInRange<size_t>(0, 8));
  for (auto& file : in.files) {
    file.filename = input.ConsumeRandomLengthString(256);
    file.size = input.ConsumeIntegral<long long>();
    file.offset = input.ConsumeIntegral<long long>();
    file.sha256 = input.ConsumeRandomLengthString(80);
    file.type = input.ConsumeRandomLengthString(32);
    file.handlerId = input.ConsumeRandomLengthString(64);
    file.damaged = input.ConsumeBool();
    file.written = input.ConsumeBool();
    file.unreadableBytes = input.ConsumeIntegral<long long>();
  }
  in.outcome.status = input.ConsumeRandomLengthString(32);
  in.outcome.files = input.ConsumeIntegral<long long>();
  in.outcome.bytes = input.ConsumeIntegral<long long>();
  in.outcome.readErrors = input.ConsumeIntegral<long long>();
  in.outcome.seconds = input.ConsumeFloatingPoint<double>();
  in.outcome.endTime = input.ConsumeRandomLengthString(64);
  return in;
}

void Write(const ReportInput& in) {
  unlink(gReportPath.c_str());
  salvor::DfxmlReport report;
  if (!report.Open(gReportPath, in.header)) Fail("open", gReportPath);
  for (const auto& file : in.files) {
    if (!report.AddFile(file)) Fail("add file", file.filename);
  }
  if (!report.Finish(in.outcome)) Fail("finish", gReportPath);
}

void CheckHeader(xmlNode* root, const salvor::ReportHeader& header) {
  Expect(root, "version", header.version);
  Expect(root, "command_line", header.commandLine);
  Expect(root, "start_time", header.startTime);
  Expect(root, "image_filename", header.sourcePath);
  Expect(root, "imagesize", std::to_string(header.sourceSize));
  std::vector<xmlNode*> settingNodes;
  Collect(root, "setting", settingNodes);
  if (settingNodes.size() != header.settings.size()) Fail("setting count", "");
  for (size_t i = 0; i < settingNodes.size(); ++i) {
    // Attribute values: the writer escapes tabs and line ends, so even they survive.
    const auto& setting = header.settings[i];
    if (IsClean(setting.first) && Attribute(settingNodes[i], "name") != setting.first) {
      Fail("setting name changed", setting.first);
    }
    if (IsClean(setting.second) && Attribute(settingNodes[i], "value") != setting.second) {
      Fail("setting value changed", setting.second);
    }
  }
}

void CheckFilesAndOutcome(xmlNode* root, const ReportInput& in) {
  std::vector<xmlNode*> fileNodes;
  Collect(root, "fileobject", fileNodes);
  if (fileNodes.size() != in.files.size())
    Fail("fileobject count", std::to_string(in.files.size()));
  for (size_t i = 0; i < in.files.size(); ++i) {
    ExpectIn(fileNodes[i], "filename", in.files[i].filename);
    ExpectIn(fileNodes[i], "filesize", std::to_string(in.files[i].size));
    ExpectIn(fileNodes[i], "hashdigest", in.files[i].sha256);
    ExpectIn(fileNodes[i], "type", in.files[i].type);
    ExpectIn(fileNodes[i], "handler", in.files[i].handlerId);
  }
  std::vector<xmlNode*> outcomes;
  Collect(root, "outcome", outcomes);
  if (outcomes.size() != 1) Fail("outcome count", "");
  if (IsClean(in.outcome.status) && Attribute(outcomes[0], "status") != in.outcome.status) {
    Fail("status changed", in.outcome.status);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  const ReportInput in = Consume(input);
  Write(in);
  std::string text = ReadAll(gReportPath);
  xmlDoc* doc = xmlReadMemory(text.data(), static_cast<int>(text.size()), "report.xml", nullptr,
                              XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  if (doc == nullptr) Fail("not well-formed XML", text.substr(0, 4096));
  xmlNode* root = xmlDocGetRootElement(doc);
  CheckHeader(root, in.header);
  CheckFilesAndOutcome(root, in);
  xmlFreeDoc(doc);
  return 0;
}
