#include "host/Options.h"

#include "recovery/Naming.h"

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

// The engine keeps the cache (at least two read-ahead chunks) in memory: larger values would
// only cost memory the scan has no use for.
// The engine reads at least 16 KiB at a time.
constexpr long long kMinReadAhead = 16ll << 10;
constexpr long long kMaxReadAhead = 64ll << 20;
constexpr long long kMaxCache = 1ll << 30;

bool ParseBounded(const std::string& text, long long least, long long most, unsigned int& value) {
  long long bytes = 0;
  if (!ParseByteSize(text, bytes) || bytes < least || bytes > most) return false;
  value = static_cast<unsigned int>(bytes);
  return true;
}

}  // namespace

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

namespace {

// The arguments being read, one option at a time; the option's value comes from "--opt=value"
// or from the next argument.
class ArgumentReader {
 public:
  ArgumentReader(int argc, const char* const* argv, std::string& error)
      : FArgc(argc), FArgv(argv), FError(error) {}

  // Moves to the next argument; false after the last.
  bool Next() {
    if (++FIndex >= FArgc) return false;
    FName = FArgv[FIndex];
    FValue.clear();
    FHasInlineValue = false;
    if (FName.size() > 2 && FName.compare(0, 2, "--") == 0) {
      size_t equals = FName.find('=');
      if (equals != std::string::npos) {
        FValue = FName.substr(equals + 1);
        FName = FName.substr(0, equals);
        FHasInlineValue = true;
      }
    }
    return true;
  }
  const std::string& Name() const { return FName; }
  // The argument as given, for one that is not an option.
  std::string Whole() const { return FArgv[FIndex]; }
  bool TakeValue(std::string& out) {
    if (FHasInlineValue) {
      out = FValue;
      return true;
    }
    if (FIndex + 1 >= FArgc) return Fail("option '" + FName + "' needs a value");
    out = FArgv[++FIndex];
    return true;
  }
  bool NoValue() { return !FHasInlineValue || Fail("option '" + FName + "' takes no value"); }
  bool Fail(const std::string& error) {
    FError = error;
    return false;
  }

 private:
  int FArgc;
  const char* const* FArgv;
  std::string& FError;
  int FIndex = 0;
  std::string FName;
  std::string FValue;
  bool FHasInlineValue = false;
};

// The option's field when it is a switch: -q, --list-only.
bool* SwitchField(const std::string& name, Options& options) {
  if (name == "-q" || name == "--quiet") return &options.quiet;
  if (name == "--list-only") return &options.listOnly;
  if (name == "--no-file-systems") return &options.noFileSystems;
  if (name == "--aligned") return &options.aligned;
  if (name == "--unaligned") {
    // The default now; still taken, so that earlier command lines keep working.
    static bool alwaysOn = true;
    return &alwaysOn;
  }
  if (name == "--names") return &options.names;
  if (name == "--sort-by-date") return &options.sortByDate;
  if (name == "--deleted-only") return &options.deletedOnly;
  if (name == "--free-space") return &options.freeSpace;
  if (name == "--no-gallery") return &options.noGallery;
  if (name == "--resume") return &options.resume;
  return nullptr;
}

// The option's field when its value is kept as it is: -o, --report, --modules.
std::string* TextField(const std::string& name, Options& options) {
  if (name == "-o" || name == "--output") return &options.outputDir;
  if (name == "--report") return &options.reportPath;
  if (name == "--modules") return &options.moduleDir;
  return nullptr;
}

// The options whose value is parsed; false with the error for a bad value or an unknown option.
bool ParseValueOption(ArgumentReader& args, Options& options) {
  const std::string& name = args.Name();
  const bool types = name == "--types" || name == "-t";
  const bool exclude = name == "--exclude" || name == "-x";
  const bool size = name == "--min-size" || name == "--max-size";
  const bool tuning = name == "--read-ahead" || name == "--cache";
  const bool rebuild = name == "--rebuild-time";
  const bool partition = name == "--partition";
  const bool range = name == "--range";
  const bool jobs = name == "--jobs";
  if (!types && !exclude && !size && !tuning && !rebuild && !partition && !range && !jobs &&
      name != "--set") {
    return args.Fail("unknown option '" + name + "'");
  }
  std::string text;
  if (!args.TakeValue(text)) return false;
  if (types || exclude) {
    std::set<std::string> list = ParseTypeList(text);
    (types ? options.types : options.exclude).insert(list.begin(), list.end());
  } else if (size) {
    long long bytes = 0;
    if (!ParseByteSize(text, bytes)) {
      return args.Fail("invalid size '" + text + "' for " + name +
                       " (examples: 4096, 64k, 2M, 1G)");
    }
    (name == "--min-size" ? options.minSize : options.maxSize) = bytes;
  } else if (rebuild) {
    char* end = nullptr;
    errno = 0;
    const long long seconds = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || seconds < 0) {
      return args.Fail("invalid time '" + text + "' for " + name + " (seconds, 0 for none)");
    }
    options.rebuildSeconds = seconds;
  } else if (range) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos || !ParseByteSize(text.substr(0, colon), options.rangeStart) ||
        !ParseByteSize(text.substr(colon + 1), options.rangeLength) || options.rangeLength <= 0) {
      return args.Fail("invalid range '" + text +
                       "' for --range (START:LENGTH in bytes, e.g. 0:16G or 16G:16G)");
    }
  } else if (jobs) {
    char* end = nullptr;
    errno = 0;
    const long count = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || count < 1 || count > 256)
      return args.Fail("invalid count '" + text + "' for --jobs (1 to 256 worker processes)");
    options.jobs = static_cast<int>(count);
  } else if (partition) {
    char* end = nullptr;
    errno = 0;
    const long number = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || errno != 0 || number < 1 || number > 1 << 16) {
      return args.Fail("invalid partition '" + text +
                       "' for --partition (a number from 1, as salvor info lists them)");
    }
    options.partition = static_cast<int>(number);
  } else if (tuning) {
    const bool readAhead = name == "--read-ahead";
    unsigned int bytes = 0;
    if (!(readAhead ? ParseBounded(text, kMinReadAhead, kMaxReadAhead, bytes)
                    : ParseBounded(text, 1, kMaxCache, bytes))) {
      return args.Fail("invalid size '" + text + "' for " + name + " (between " +
                       (readAhead ? "16k and 64M" : "1 and 1G") + ", e.g. 4M)");
    }
    (name == "--read-ahead" ? options.readAhead : options.cacheSize) = bytes;
  } else {
    PropertySetting setting;
    if (!ParseSetting(text, setting)) {
      return args.Fail("invalid setting '" + text + "' (expected HANDLER.PROPERTY=VALUE)");
    }
    options.settings.push_back(setting);
  }
  return true;
}

bool ParseOption(ArgumentReader& args, Options& options) {
  const std::string& name = args.Name();
  if (name == "-h" || name == "--help" || name == "-V" || name == "--version") {
    if (!args.NoValue()) return false;
    options.command = name == "-h" || name == "--help" ? Command::Help : Command::Version;
    return true;
  }
  if (bool* field = SwitchField(name, options)) {
    *field = true;
    return args.NoValue();
  }
  if (std::string* field = TextField(name, options)) return args.TakeValue(*field);
  return ParseValueOption(args, options);
}

// The command and its arguments, once every option is read.
bool ParseCommand(const std::vector<std::string>& positional, Options& options,
                  std::string& error) {
  if (positional.empty()) {
    error = "no command given (scan, merge, info, sources or types)";
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
    if (options.jobs > 1 &&
        (options.rangeStart >= 0 || options.freeSpace || options.partition > 0)) {
      error =
          "--jobs cuts the whole source into shards: leave out --range, --partition and "
          "--free-space, or scan with --jobs 1";
      return false;
    }
    if (options.rangeStart >= 0 && (options.freeSpace || options.partition > 0)) {
      error = "--range takes a range of the whole source: leave out --partition and --free-space";
      return false;
    }
    if (options.noFileSystems && (options.freeSpace || options.partition > 0)) {
      error = std::string(options.freeSpace ? "--free-space" : "--partition") +
              " needs the partition table and file systems read: leave out --no-file-systems";
      return false;
    }
  } else if (command == "merge") {
    options.command = Command::Merge;
    options.shards.assign(positional.begin() + 1, positional.end());
    expected = positional.size();
    if (options.shards.empty() || options.outputDir.empty()) {
      error =
          "merge needs the shards' output folders and a folder to merge them into: "
          "salvor merge DIR... -o DIR";
      return false;
    }
  } else if (command == "sources") {
    options.command = Command::Sources;
  } else if (command == "types") {
    options.command = Command::Types;
  } else if (command == "info") {
    options.command = Command::Info;
    expected = 2;
    if (positional.size() > 1) options.source = positional[1];
  } else if (command == "help") {
    options.command = Command::Help;
    return true;
  } else {
    error = "unknown command '" + command + "' (scan, merge, info, sources or types)";
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

}  // namespace

bool ParseCommandLine(int argc, const char* const* argv, Options& options, std::string& error) {
  options = Options();
  std::vector<std::string> positional;
  ArgumentReader args(argc, argv, error);
  bool optionsEnded = false;
  while (args.Next()) {
    const std::string& name = args.Name();
    if (name == "--" && !optionsEnded) {
      optionsEnded = true;  // what follows is a command or a source, even when it starts with -
    } else if (!optionsEnded && name.size() > 1 && name[0] == '-') {
      if (!ParseOption(args, options)) return false;
      // --help and --version end the command line.
      if (options.command != Command::None) return true;
    } else {
      positional.push_back(args.Whole());
    }
  }
  return ParseCommand(positional, options, error);
}

const char* UsageText() {
  return "Usage: salvor scan SOURCE -o DIR [options]   recover files from an image or a device\n"
         "       salvor merge DIR... -o DIR            join the output folders of the shards\n"
         "                                             of one scan (--range) into one\n"
         "       salvor sources                        list the devices that can be scanned\n"
         "       salvor types                          list the file types salvor knows\n"
         "       salvor info [SOURCE]                  what a source is and what its image\n"
         "                                             records; without SOURCE, the image\n"
         "                                             formats salvor reads\n"
         "\n"
         "SOURCE is a disk image file (raw, split raw such as image.001, EWF such as case.E01,\n"
         "or AFF) or a block device such as /dev/sdb or /dev/mmcblk0.\n"
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
         "      --names              write files under their original folders and names\n"
         "                           where a file system still lists them\n"
         "      --deleted-only       leave out files a file system lists as live (they can be\n"
         "                           copied normally)\n"
         "      --sort-by-date       write files into YYYY/MM/ folders by the date the file\n"
         "                           system or the file itself gives\n"
         "      --no-file-systems    do not read the file systems on the source for the\n"
         "                           files' names and dates (spares a failing disk)\n"
         "      --aligned            look for files only where a sector starts: faster,\n"
         "                           but misses files inside archives, memory dumps and\n"
         "                           captures (by default every byte may start a file)\n"
         "      --partition N        scan only partition N (salvor info SOURCE lists them)\n"
         "      --free-space         scan only the space no live file holds: the free space\n"
         "                           of the file systems and the space outside them\n"
         "      --jobs N             scan with N worker processes, each a shard of the source\n"
         "                           (default: one per core for an image of 1 GiB or more,\n"
         "                           else 1; a device is read by one)\n"
         "      --range START:LENGTH recover only the files that start in these bytes of the\n"
         "                           source, finished past its end: one shard of a scan\n"
         "                           (salvor merge joins the shards' folders)\n"
         "      --no-gallery         make no thumbnails and no DIR/index.html\n"
         "      --resume             go on with the interrupted scan in DIR (same source and\n"
         "                           options)\n"
         "      --rebuild-time SECS  time for rebuilding fragmented files after the scan\n"
         "                           (default 600, a 200th of it per file, at least 3; 0: none)\n"
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
         "Ctrl-C (or SIGTERM, or closing the terminal) stops a scan and keeps what was\n"
         "recovered; a second one also drops the file being written; a third quits at once.\n";
}

}  // namespace salvor
