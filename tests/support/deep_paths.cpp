#include "support/deep_paths.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace {

// Well below the limit, so that the alias plus a name or two still fits in one call.
constexpr size_t kLongestAliasTarget = 2000;

// Removes name in folder and, when it is a folder, everything in it first.
void RemoveAt(int folder, const char* name) {
  struct stat st;
  if (fstatat(folder, name, &st, AT_SYMLINK_NOFOLLOW) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    fchmodat(folder, name, 0700, 0);
    int fd = openat(folder, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
      DIR* dir = fdopendir(fd);
      if (dir == nullptr) {
        close(fd);
      } else {
        std::vector<std::string> names;
        while (dirent* entry = readdir(dir)) {
          if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            names.emplace_back(entry->d_name);
          }
        }
        for (const std::string& entry : names) RemoveAt(dirfd(dir), entry.c_str());
        closedir(dir);
      }
    }
    unlinkat(folder, name, AT_REMOVEDIR);
  } else {
    unlinkat(folder, name, 0);
  }
}

}  // namespace

std::string DeepRelativePath(int levels, int width) {
  std::string relative;
  for (int level = 0; level < levels; ++level) {
    if (level > 0) relative += "/";
    relative += std::string(static_cast<size_t>(width) - 1, static_cast<char>('a' + level % 26));
    relative += "D";
  }
  return relative;
}

void MakeDeepFolders(const std::string& root, const std::string& relative) {
  int folder = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(folder, 0) << root;
  size_t start = 0;
  while (start < relative.size()) {
    size_t end = relative.find('/', start);
    if (end == std::string::npos) end = relative.size();
    std::string name = relative.substr(start, end - start);
    start = end + 1;
    if (name.empty()) continue;
    if (mkdirat(folder, name.c_str(), 0755) != 0 && errno != EEXIST) {
      ADD_FAILURE() << "cannot make " << name.substr(0, 20) << "... " << std::strerror(errno);
    }
    int next = openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    close(folder);
    folder = next;
    ASSERT_GE(folder, 0) << "cannot open " << name.substr(0, 20) << "...";
  }
  close(folder);
}

std::string ShortAlias(const std::string& root, const std::string& relative) {
  std::string base = root;
  std::string rest = relative;
  static int hops = 0;
  while (rest.size() > kLongestAliasTarget) {
    size_t cut = rest.rfind('/', kLongestAliasTarget);
    if (cut == std::string::npos || cut == 0) break;
    std::string target = base + "/" + rest.substr(0, cut);
    std::string link;
    do {
      link = root + "/.hop" + std::to_string(hops++);
    } while (symlink(target.c_str(), link.c_str()) != 0 && errno == EEXIST);
    base = link;
    rest = rest.substr(cut + 1);
  }
  return base + "/" + rest;
}

void RemoveTree(const std::string& path) {
  std::string parent = path;
  while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
  size_t slash = parent.rfind('/');
  std::string name = slash == std::string::npos ? parent : parent.substr(slash + 1);
  parent = slash == std::string::npos ? "." : slash == 0 ? "/" : parent.substr(0, slash);
  int folder = open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return;
  RemoveAt(folder, name.c_str());
  close(folder);
}
