#include "batch/naming.h"

#include <string>

#include "platform/text.h"

namespace {

// A folder is taken whoever may write it: no output could ever take its name. A read-only
// file is not, since its conversion is to fail rather than move to another name.
bool IsTaken(const std::string& name, Platform& platform) {
  return platform.IsWritable(name) || platform.IsFolder(name);
}

}  // namespace

std::string MakeUniqueName(std::string name, std::string extension, Platform& platform) {
  if (!IsTaken(name, platform)) return name;
  // A dot in a folder name is no extension: cutting there would move the output into another
  // folder.
  size_t dot = FindLastChar(name, '.');
  size_t slash = FindLastChar(name, '/');
  if (slash != std::string::npos && dot != std::string::npos && dot < slash) {
    dot = std::string::npos;
  }
  std::string stem = dot == std::string::npos ? name : name.substr(0, dot);
  // Every candidate is built from the stem, so counters replace each other instead of piling
  // up, and the first gap is taken.
  for (unsigned long n = 1;; ++n) {
    std::string candidate = stem + "(" + std::to_string(n) + ")" + extension;
    if (!IsTaken(candidate, platform)) return candidate;
  }
}

int DeleteExisting(std::string path, Platform& platform) {
  try {
    if (!platform.IsWritable(path)) return 0;
    return platform.RemoveFile(path) ? 1 : 0;
  } catch (...) {
    return 0;
  }
}
