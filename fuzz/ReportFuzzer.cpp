// The DFXML report writer with hostile strings: every text a module, the user or the source
// can put into the report (names, types, handler ids, paths, settings) comes from the input.
// The report must always parse as XML, hold one fileobject per file added, and give back
// every clean string unchanged.
#include <algorithm>
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

void Check(bool ok, const char* what, const std::string& detail = "") {
  if (ok) return;
  std::fprintf(stderr, "report fuzz: %s: %s\n", what, detail.c_str());
  std::abort();
}

// Clean text is valid UTF-8 with only characters XML can carry as they are; it must come back
// from the parser exactly. Everything else only has to leave the document well formed.
bool IsClean(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const size_t length = c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 0;
    if (length == 0 || c > 0xF4 || i + length > text.size()) return false;
    unsigned int code = length == 1 ? c : c & (0xFF >> (length + 1));
    for (size_t k = 1; k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    static const unsigned int kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kMinimum[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF) ||
        code == 0xFFFE || code == 0xFFFF || code == 0x7F ||
        (code < 0x20 && code != '\t' && code != '\n' && code != '\r'))
      return false;
    i += length;
  }
  return true;
}

// Every element called name among node, its siblings and everything below, in document order.
std::vector<xmlNode*> Find(xmlNode* node, const char* name) {
  std::vector<xmlNode*> found;
  for (; node != nullptr; node = node->next) {
    if (node->type != XML_ELEMENT_NODE) continue;
    if (std::strcmp(reinterpret_cast<const char*>(node->name), name) == 0) found.push_back(node);
    std::vector<xmlNode*> below = Find(node->children, name);
    found.insert(found.end(), below.begin(), below.end());
  }
  return found;
}

xmlNode* One(xmlNode* node, const char* name) {
  std::vector<xmlNode*> found = Find(node, name);
  Check(found.size() == 1, "element count", name);
  return found[0];
}

// The element's text, or the value of its attribute, is what was written when that was clean.
void Same(xmlNode* node, const std::string& written, const char* attribute = nullptr) {
  xmlChar* text = attribute ? xmlGetProp(node, reinterpret_cast<const xmlChar*>(attribute))
                            : xmlNodeGetContent(node);
  Check(text != nullptr, "missing attribute", attribute ? attribute : "");
  Check(!IsClean(written) || written == reinterpret_cast<const char*>(text), "text changed",
        written);
  xmlFree(text);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char folder[] = "/tmp/salvor-report-fuzz-XXXXXX";
  Check(mkdtemp(folder) != nullptr, "mkdtemp", folder);
  gReportPath = std::string(folder) + "/report.xml";
  xmlInitParser();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  auto text = [&](size_t most) { return input.ConsumeRandomLengthString(most); };
  auto number = [&] { return input.ConsumeIntegral<long long>(); };
  salvor::ReportHeader header{text(64), text(512), text(64), {}, text(512),
                              number(), number(),  text(64), {}, {}};
  header.segments.resize(input.ConsumeIntegralInRange<size_t>(0, 3));
  for (auto& segment : header.segments) segment = text(128);
  header.storedHashes.resize(input.ConsumeIntegralInRange<size_t>(0, 2));
  for (auto& hash : header.storedHashes) hash = {text(8), text(64)};
  header.settings.resize(input.ConsumeIntegralInRange<size_t>(0, 4));
  for (auto& setting : header.settings) setting = {text(64), text(128)};
  auto ranges = [&] {
    std::vector<salvor::ReportRange> list(input.ConsumeIntegralInRange<size_t>(0, 2));
    for (auto& range : list) range = {number(), number(), text(64)};
    return list;
  };
  // Braced lists take their values in order.
  std::vector<salvor::ReportFile> files(input.ConsumeIntegralInRange<size_t>(0, 8));
  for (auto& file : files)
    file = {text(256),
            number(),
            number(),
            text(80),
            text(32),
            text(64),
            input.ConsumeBool(),
            true,
            number(),
            ranges(),
            number(),
            text(64),
            ranges(),
            {},
            input.ConsumeBool(),
            {text(128), text(64), input.ConsumeBool(), input.ConsumeIntegral<unsigned long long>(),
             number(), number(), number()},
            text(32),
            text(16),
            text(64)};
  // A rebuilt file names an earlier one it takes the place of; reopening drops that one.
  bool allClean = true;
  for (size_t i = 0; i < files.size(); ++i) {
    allClean = allClean && IsClean(files[i].filename);
    if (!files[i].pieces.empty()) files[i].pieces[0].offset = files[i].offset;
    if (i > 0 && input.ConsumeBool())
      files[i].replaces = files[input.ConsumeIntegralInRange<size_t>(0, i - 1)].filename;
  }
  std::vector<salvor::ReportFile> kept;
  for (const auto& file : files) {
    if (!file.replaces.empty())
      kept.erase(std::remove_if(kept.begin(), kept.end(),
                                [&](const auto& k) { return k.filename == file.replaces; }),
                 kept.end());
    kept.push_back(file);
  }
  const double seconds = input.ConsumeFloatingPoint<double>();
  const salvor::ReportOutcome outcome{text(32), number(), number(), number(),
                                      number(), ranges(), seconds,  text(64)};

  unlink(gReportPath.c_str());
  {
    // Left as an interrupted scan leaves it: no outcome.
    salvor::DfxmlReport report;
    Check(report.Open(gReportPath, header), "open");
    for (const auto& file : files) Check(report.AddFile(file), "add file", file.filename);
  }
  // Reopened to go on: the files come back as written (clean text exactly).
  salvor::DfxmlReport report;
  std::vector<salvor::ReportFile> back, skipped;
  Check(report.Reopen(gReportPath, back, skipped), "reopen");
  // Names that do not survive escaping may match differently; then only fewer may come back.
  Check(skipped.empty() && (allClean ? back.size() == kept.size() : back.size() <= files.size()),
        "reopened file count");
  for (size_t i = 0; allClean && i < kept.size(); ++i) {
    Check(back[i].offset == kept[i].offset && back[i].size == kept[i].size, "reopened range");
    Check(back[i].filename == kept[i].filename, "reopened name", kept[i].filename);
    Check(!IsClean(kept[i].handlerId) || back[i].handlerId == kept[i].handlerId, "reopened handler",
          kept[i].handlerId);
    Check(back[i].replaces == kept[i].replaces, "reopened replaces", kept[i].replaces);
  }
  Check(report.Finish(outcome), "finish");

  xmlDoc* doc = xmlReadFile(gReportPath.c_str(), nullptr,
                            XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING);
  Check(doc != nullptr, "not well-formed XML", gReportPath);
  xmlNode* root = xmlDocGetRootElement(doc);
  Same(One(root, "version"), header.version);
  Same(One(root, "command_line"), header.commandLine);
  // No start time, no element: an empty one is no valid time.
  if (header.startTime.empty())
    Check(Find(root, "start_time").empty(), "empty start time written");
  else
    Same(One(root, "start_time"), header.startTime);
  // The source's path, then its other segments.
  std::vector<xmlNode*> names = Find(root, "image_filename");
  Check(names.size() == std::max<size_t>(header.segments.size(), 1), "image_filename count");
  Same(names[0], header.sourcePath);
  for (size_t i = 1; i < names.size(); ++i) Same(names[i], header.segments[i]);
  Same(One(root, "imagesize"), std::to_string(header.sourceSize));
  // Attribute values: the writer escapes tabs and line ends, so even they survive.
  std::vector<xmlNode*> settings = Find(root, "setting");
  Check(settings.size() == header.settings.size(), "setting count");
  for (size_t i = 0; i < settings.size(); ++i) {
    Same(settings[i], header.settings[i].first, "name");
    Same(settings[i], header.settings[i].second, "value");
  }
  std::vector<xmlNode*> objects = Find(root, "fileobject");
  Check(objects.size() == files.size(), "fileobject count");
  for (size_t i = 0; i < files.size(); ++i) {
    Same(One(objects[i]->children, "filename"), files[i].filename);
    Same(One(objects[i]->children, "filesize"), std::to_string(files[i].size));
    Same(One(objects[i]->children, "hashdigest"), files[i].sha256);
    Same(One(objects[i]->children, "type"), files[i].type);
    Same(One(objects[i]->children, "handler"), files[i].handlerId);
  }
  Same(One(root, "outcome"), outcome.status, "status");
  xmlFreeDoc(doc);
  return 0;
}
