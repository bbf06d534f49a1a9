// Times the source collection over a large tree: 1,000 folders of 100 files each (made once
// under the folder given as the first argument), collected with sub-folders, five times.
// Prints the median and the number of files found.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "batch/collect.h"

namespace {

constexpr int kFolders = 1000;
constexpr int kFilesPerFolder = 100;

void MakeTree(const std::string& root) {
  mkdir(root.c_str(), 0755);
  for (int f = 0; f < kFolders; ++f) {
    // Ten top folders of a hundred each, so that the walk also goes deep.
    std::string top = root + "/t" + std::to_string(f / 100);
    mkdir(top.c_str(), 0755);
    std::string folder = top + "/f" + std::to_string(f);
    mkdir(folder.c_str(), 0755);
    for (int i = 0; i < kFilesPerFolder; ++i) {
      std::ofstream(folder + "/img" + std::to_string(i) + ".jpg") << "x";
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::string root = argc > 1 ? argv[1] : "/tmp/xevra-collect-bench";
  struct stat st;
  if (stat((root + "/t9/f999").c_str(), &st) != 0) MakeTree(root);
  std::vector<double> seconds;
  size_t found = 0;
  for (int run = 0; run < 5; ++run) {
    CConvertJob job;
    job.m_strSource = root;
    job.m_strMask = "*.jpg";
    auto start = std::chrono::steady_clock::now();
    CollectSourceFiles(job, 1, SystemPlatform());
    seconds.push_back(
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    found = job.m_files.size();
  }
  std::sort(seconds.begin(), seconds.end());
  std::printf("collected %zu files in %d folders: median %.3f s (min %.3f, max %.3f)\n", found,
              kFolders, seconds[2], seconds.front(), seconds.back());
  return found == static_cast<size_t>(kFolders) * kFilesPerFolder ? 0 : 1;
}
