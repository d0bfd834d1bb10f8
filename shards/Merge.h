#pragma once

#include <string>
#include <vector>

namespace salvor {

// What merging shard folders came to.
struct MergeOutcome {
  long long files = 0;    // files in the merged folder
  long long dropped = 0;  // found by two shards, or inside a file an earlier shard found
  long long renamed = 0;  // written under another name: two shards used the same one
  bool complete = false;  // every shard finished its range
  std::vector<std::string> unfinished;  // the shard folders that did not
};

// Joins the output folders of the shards of one scan (salvor scan --range, one range each)
// into `output`, which must not exist or be empty: one folder of files (hard links to the
// shards' files where the file system allows, else copies) and one report. The result is the
// one a single scan gives: a file that starts inside a file an earlier shard found is left
// out, as a single scan never looks there, and a file two shards found comes once. Shards of
// another source or with other settings are refused. False with `error` in words.
// `reportPath` empty: output/report.xml. `keep`: a name in `output` that may be there already
// (the workers' folder of a scan run on several cores, whose shards are merged into it).
bool MergeShards(const std::vector<std::string>& shards, const std::string& output,
                 const std::string& reportPath, const std::string& commandLine,
                 MergeOutcome& outcome, std::string& error, const std::string& keep = "");

}  // namespace salvor
