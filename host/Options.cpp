#include "host/Options.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace salvor {

namespace {

std::string Lower(std::string text) {
  for (auto& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string Trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return std::string();
  size_t last = text.find_last_not_of(" \t");
  return text.substr(first, last - first + 1);
}

bool ParseSetting(const std::string& text, PropertySetting& setting) {
  size_t equals = text.find('=');
  if (equals == std::string::npos) return false;
  std::string key = text.substr(0, equals);
  // Handler IDs contain dots themselves ("salvor.jpeg"), so the property is after the last one.
  size_t dot = key.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == key.size()) return false;
  setting.handler = key.substr(0, dot);
  setting.property = key.substr(dot + 1);
  setting.value = text.substr(equals + 1);
  return true;
}

bool ParseUnsigned(const std::string& text, unsigned int& value) {
  long long bytes = 0;
  if (!ParseByteSize(text, bytes) || bytes > 0xFFFFFFFFLL) return false;
  value = static_cast<unsigned int>(bytes);
  return true;
}

}  // namespace

std::string CanonicalType(const std::string& extension) {
  std::string type = Lower(Trim(extension));
  if (!type.empty() && type[0] == '.') type.erase(0, 1);
  if (type == "jpeg" || type == "jpe") return "jpg";
  if (type == "tif") return "tiff";
  if (type == "mpeg") return "mpg";
  return type;
}

std::set<std::string> ParseTypeList(const std::string& text) {
  std::set<std::string> types;
  size_t begin = 0;
  while (begin <= text.size()) {
    size_t comma = text.find(',', begin);
    if (comma == std::string::npos) comma = text.size();
    std::string type = CanonicalType(text.substr(begin, comma - begin));
    if (!type.empty()) types.insert(type);
    begin = comma + 1;
  }
  return types;
}

bool ParseByteSize(const std::string& text, long long& bytes) {
  std::string trimmed = Trim(text);
  if (trimmed.empty() ||
      !(std::isdigit(static_cast<unsigned char>(trimmed[0])) || trimmed[0] == '.'))
    return false;
  errno = 0;
  char* end = nullptr;
  double number = std::strtod(trimmed.c_str(), &end);
  if (errno != 0 || end == trimmed.c_str() || !std::isfinite(number) || number < 0) return false;
  std::string suffix = Lower(end);
  double scale = 1;
  if (suffix.empty() || suffix == "b") {
    scale = 1;
  } else if (suffix == "k" || suffix == "kb" || suffix == "kib") {
    scale = 1024.0;
  } else if (suffix == "m" || suffix == "mb" || suffix == "mib") {
    scale = 1024.0 * 1024;
  } else if (suffix == "g" || suffix == "gb" || suffix == "gib") {
    scale = 1024.0 * 1024 * 1024;
  } else if (suffix == "t" || suffix == "tb" || suffix == "tib") {
    scale = 1024.0 * 1024 * 1024 * 1024;
  } else {
    return false;
  }
  double value = number * scale;
  if (value > 9.0e18) return false;
  bytes = static_cast<long long>(value);
  return true;
}

bool ParseCommandLine(int argc, const char* const* argv, Options& options, std::string& error) {
  options = Options();
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool hasInlineValue = false;
    if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
      size_t equals = arg.find('=');
      if (equals != std::string::npos) {
        value = arg.substr(equals + 1);
        arg = arg.substr(0, equals);
        hasInlineValue = true;
      }
    }
    // Takes the option's value from "--opt=value" or from the next argument.
    auto takeValue = [&](std::string& out) {
      if (hasInlineValue) {
        out = value;
        return true;
      }
      if (i + 1 >= argc) {
        error = "option '" + arg + "' needs a value";
        return false;
      }
      out = argv[++i];
      return true;
    };
    auto noValue = [&]() {
      if (hasInlineValue) error = "option '" + arg + "' takes no value";
      return !hasInlineValue;
    };

    std::string text;
    if (arg == "-h" || arg == "--help") {
      if (!noValue()) return false;
      options.command = Command::Help;
      return true;
    } else if (arg == "-V" || arg == "--version") {
      if (!noValue()) return false;
      options.command = Command::Version;
      return true;
    } else if (arg == "-q" || arg == "--quiet") {
      if (!noValue()) return false;
      options.quiet = true;
    } else if (arg == "--list-only") {
      if (!noValue()) return false;
      options.listOnly = true;
    } else if (arg == "-o" || arg == "--output") {
      if (!takeValue(options.outputDir)) return false;
    } else if (arg == "--report") {
      if (!takeValue(options.reportPath)) return false;
    } else if (arg == "--modules") {
      if (!takeValue(options.moduleDir)) return false;
    } else if (arg == "--types" || arg == "-t") {
      if (!takeValue(text)) return false;
      std::set<std::string> types = ParseTypeList(text);
      options.types.insert(types.begin(), types.end());
    } else if (arg == "--exclude" || arg == "-x") {
      if (!takeValue(text)) return false;
      std::set<std::string> types = ParseTypeList(text);
      options.exclude.insert(types.begin(), types.end());
    } else if (arg == "--min-size" || arg == "--max-size") {
      if (!takeValue(text)) return false;
      long long bytes = 0;
      if (!ParseByteSize(text, bytes)) {
        error = "invalid size '" + text + "' for " + arg + " (examples: 4096, 64k, 2M, 1G)";
        return false;
      }
      (arg == "--min-size" ? options.minSize : options.maxSize) = bytes;
    } else if (arg == "--read-ahead" || arg == "--cache") {
      if (!takeValue(text)) return false;
      unsigned int bytes = 0;
      if (!ParseUnsigned(text, bytes) || bytes == 0) {
        error = "invalid size '" + text + "' for " + arg + " (between 1 and 4G, e.g. 4M)";
        return false;
      }
      (arg == "--read-ahead" ? options.readAhead : options.cacheSize) = bytes;
    } else if (arg == "--set") {
      if (!takeValue(text)) return false;
      PropertySetting setting;
      if (!ParseSetting(text, setting)) {
        error = "invalid setting '" + text + "' (expected HANDLER.PROPERTY=VALUE)";
        return false;
      }
      options.settings.push_back(setting);
    } else if (arg.size() > 1 && arg[0] == '-') {
      error = "unknown option '" + arg + "'";
      return false;
    } else {
      positional.push_back(arg);
    }
  }

  if (positional.empty()) {
    error = "no command given (scan, sources or types)";
    return false;
  }
  const std::string& command = positional[0];
  size_t expected = 1;
  if (command == "scan") {
    options.command = Command::Scan;
    expected = 2;
    if (positional.size() < 2) {
      error = "scan needs a SOURCE (an image file or a device such as /dev/sdb)";
      return false;
    }
    options.source = positional[1];
    if (options.outputDir.empty()) {
      error = "scan needs an output folder: -o DIR";
      return false;
    }
  } else if (command == "sources") {
    options.command = Command::Sources;
  } else if (command == "types") {
    options.command = Command::Types;
  } else if (command == "help") {
    options.command = Command::Help;
    return true;
  } else {
    error = "unknown command '" + command + "' (scan, sources or types)";
    return false;
  }
  if (positional.size() > expected) {
    error = "unexpected argument '" + positional[expected] + "'";
    return false;
  }
  if (options.maxSize >= 0 && options.maxSize < options.minSize) {
    error = "--max-size is smaller than --min-size";
    return false;
  }
  return true;
}

const char* UsageText() {
  return "Usage: salvor scan SOURCE -o DIR [options]   recover files from an image or a device\n"
         "       salvor sources                        list the devices that can be scanned\n"
         "       salvor types                          list the file types salvor knows\n"
         "\n"
         "SOURCE is a disk image file or a block device such as /dev/sdb or /dev/mmcblk0.\n"
         "Recovered files go to DIR/<type>/, with DIR/report.xml (DFXML) and DIR/salvor.log.\n"
         "DIR must not exist yet or be empty, and must not be on the device being scanned.\n"
         "\n"
         "Options:\n"
         "  -o, --output DIR         folder for the recovered files (required for scan)\n"
         "  -t, --types LIST         only these types, e.g. jpg,png,mp4\n"
         "  -x, --exclude LIST       every type except these\n"
         "      --min-size SIZE      skip files smaller than SIZE (e.g. 20k)\n"
         "      --max-size SIZE      skip files larger than SIZE (e.g. 2G)\n"
         "      --list-only          write the report of what would be recovered, no files\n"
         "      --set H.PROP=VALUE   set a handler property, e.g. salvor.jpeg.MaxSize=65536\n"
         "                           (H is a handler ID or a type such as jpg)\n"
         "      --read-ahead SIZE    bytes read from the source at a time (default 1M)\n"
         "      --cache SIZE         bytes of read cache (default 4M)\n"
         "      --report FILE        write the report to FILE instead of DIR/report.xml\n"
         "      --modules DIR        load modules from DIR instead of the installed folder\n"
         "  -q, --quiet              no progress line and no summary\n"
         "  -h, --help               show this help\n"
         "  -V, --version            show the version\n"
         "\n"
         "Ctrl-C stops a scan and keeps what was recovered; a second Ctrl-C quits at once.\n";
}

}  // namespace salvor
