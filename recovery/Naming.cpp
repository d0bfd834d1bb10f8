#include "recovery/Naming.h"

#include <vector>

#include <cctype>
#include <cstdio>

namespace salvor {

namespace {

// First entry of a ';'-separated extension list ("jpg;jpeg" -> "jpg").
std::string FirstExtension(const char* extensions) {
  if (extensions == nullptr) return std::string();
  std::string list = extensions;
  return SanitizeExtension(list.substr(0, list.find(';')));
}

}  // namespace

std::string CanonicalType(const std::string& extension) {
  const size_t first = extension.find_first_not_of(" \t");
  std::string type = first == std::string::npos
                         ? std::string()
                         : extension.substr(first, extension.find_last_not_of(" \t") - first + 1);
  for (char& c : type) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (!type.empty() && type[0] == '.') type.erase(0, 1);
  if (type == "jpeg" || type == "jpe") return "jpg";
  if (type == "tif") return "tiff";
  if (type == "mpeg") return "mpg";
  return type;
}

std::string SanitizeExtension(const std::string& extension) {
  std::string clean;
  for (char c : extension) {
    unsigned char u = static_cast<unsigned char>(c);
    if (std::isalnum(u) && u < 128) clean.push_back(static_cast<char>(std::tolower(u)));
    if (clean.size() == 15) break;
  }
  return clean;
}

std::string ChooseExtension(const std::string& described, const char* handlerExtensions) {
  std::string extension = SanitizeExtension(described);
  if (extension.empty()) extension = FirstExtension(handlerExtensions);
  if (extension.empty()) extension = "bin";
  return extension;
}

std::string RecoveredFileName(long long offset, bool damaged, const std::string& extension) {
  if (offset < 0) offset = 0;
  char name[64];
  long long sector = offset / 512;
  long long within = offset % 512;
  if (within == 0) {
    std::snprintf(name, sizeof name, "%c%010lld", damaged ? 'b' : 'f', sector);
  } else {
    std::snprintf(name, sizeof name, "%c%010lld_%03lld", damaged ? 'b' : 'f', sector, within);
  }
  return std::string(name) + "." + extension;
}

TypeFilter::TypeFilter(std::set<std::string> types, std::set<std::string> exclude)
    : FTypes(std::move(types)), FExclude(std::move(exclude)) {}

bool TypeFilter::Accepts(const std::string& extension) const {
  std::string type = CanonicalType(extension);
  if (FExclude.count(type) != 0) return false;
  return FTypes.empty() || FTypes.count(type) != 0;
}

bool TypeFilter::WantsHandler(const char* extensions) const {
  if (extensions == nullptr || *extensions == '\0') return FTypes.empty();
  std::string list = extensions;
  size_t begin = 0;
  while (begin <= list.size()) {
    size_t semicolon = list.find(';', begin);
    if (semicolon == std::string::npos) semicolon = list.size();
    std::string extension = list.substr(begin, semicolon - begin);
    if (!extension.empty() && Accepts(extension)) return true;
    begin = semicolon + 1;
  }
  return false;
}

std::string SafeRelativePath(const std::string& path) {
  std::vector<std::string> parts;
  for (size_t at = 0; at <= path.size();) {
    size_t end = path.find('/', at);
    if (end == std::string::npos) end = path.size();
    std::string part = path.substr(at, end - at);
    at = end + 1;
    for (char& c : part)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '\\') c = '_';
    if (part.size() > 200) part.resize(200);
    if (part.empty() || part == "." || part == "..") continue;
    parts.push_back(part);
  }
  std::string safe;
  for (size_t i = 0; i < parts.size(); ++i) {
    // Past the depth limit, the remaining parts join the last folder's name.
    const bool nested = i > 0 && i <= static_cast<size_t>(kMaxNameDepth);
    safe += (i == 0 ? "" : nested ? "/" : "_") + parts[i];
  }
  return safe;
}

std::string DamagedName(const std::string& path) {
  const size_t slash = path.rfind('/');
  const size_t dot = path.rfind('.');
  const bool hasExtension =
      dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
  return hasExtension ? path.substr(0, dot) + " (damaged)" + path.substr(dot) : path + " (damaged)";
}

}  // namespace salvor
