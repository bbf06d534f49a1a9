#include "faults/fault_support.h"

#include <filesystem>
#include <sstream>

namespace fs = std::filesystem;

void FaultTest::SetUp() {
  fs::create_directory(src_);
  fs::create_directory(out_);
}

ProcessResult FaultTest::Convert(const std::vector<std::string>& extra,
                                 const ProcessLimits& limits) {
  std::vector<std::string> args{"s=" + src_ + "/*.*", "d=" + out_};
  args.insert(args.end(), extra.begin(), extra.end());
  // A small quarantine keeps the sanitizer's own memory from hiding the program's.
  return RunXevraBinary(args, "/", {"ASAN_OPTIONS=quarantine_size_mb=8:detect_leaks=1"}, limits);
}

std::vector<std::string> FaultTest::Tree(const std::string& root) { return ListTree(root); }

std::vector<std::string> FaultTest::ProgressLines(const std::string& out) {
  std::vector<std::string> lines;
  std::istringstream in(out);
  std::string line;
  for (int i = 0; std::getline(in, line); ++i) {
    if (i >= 2) lines.push_back(line);
  }
  return lines;
}

std::vector<std::string> FaultTest::Leftovers(const std::string& root) {
  std::vector<std::string> left;
  for (const std::string& name : Tree(root)) {
    if (fs::path(name).filename().string().rfind(".xevra-", 0) == 0) left.push_back(name);
  }
  return left;
}
