#include "batch/shard.h"

#include "batch/output_path.h"

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Removes one trailing "(digits)" or "_pdigits" from stem. Returns true when it did.
bool StripOneSuffix(std::string& stem) {
  size_t end = stem.size();
  if (end >= 3 && stem[end - 1] == ')') {
    size_t open = end - 1;
    while (open > 0 && IsDigit(stem[open - 1])) --open;
    if (open < end - 1 && open > 0 && stem[open - 1] == '(') {
      stem.erase(open - 1);
      return true;
    }
    return false;
  }
  size_t digits = end;
  while (digits > 0 && IsDigit(stem[digits - 1])) --digits;
  if (digits < end && digits >= 2 && stem[digits - 1] == 'p' && stem[digits - 2] == '_') {
    stem.erase(digits - 2);
    return true;
  }
  return false;
}

// The avalanche of MurmurHash3's finaliser: FNV-1a's low bits alone divide unevenly by
// small part counts.
uint64_t Mix(uint64_t h) {
  h ^= h >> 33;
  h *= 0xff51afd7ed558ccdULL;
  h ^= h >> 33;
  h *= 0xc4ceb9fe1a85ec53ULL;
  h ^= h >> 33;
  return h;
}

}  // namespace

uint64_t StableHash(std::string_view text) {
  uint64_t h = 0xcbf29ce484222325ULL;
  for (char c : text) {
    h ^= static_cast<unsigned char>(c);
    h *= 0x100000001b3ULL;
  }
  return h;
}

std::string ShardKey(const std::string& outputRelative, const std::string& extension) {
  std::string name = DisplayName(outputRelative);
  if (!extension.empty() && name.size() >= extension.size() &&
      name.compare(name.size() - extension.size(), extension.size(), extension) == 0) {
    name.erase(name.size() - extension.size());
  }
  while (StripOneSuffix(name)) {
  }
  std::string key = FolderOf(outputRelative) + "/" + name;
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

int ShardOf(std::string_view key, int count) {
  if (count < 2) return 0;
  return static_cast<int>(Mix(StableHash(key)) % static_cast<uint64_t>(count));
}

PathList KeepShard(const PathList& files, const std::string& sourceFolder,
                   const std::string& extension, const std::string& singleFile, int index,
                   int count) {
  PathList kept;
  if (index < 0 || index >= count) return kept;
  for (const std::string& entry : files) {
    // The output path below the destination, as the driver derives it.
    std::string output = singleFile;
    if (output.empty()) {
      std::string relative = RelativePath(entry, sourceFolder);
      output = ApplyExtension(relative, relative, extension);
    }
    if (ShardOf(ShardKey(output, extension), count) == index) kept.push_back(entry);
  }
  return kept;
}
