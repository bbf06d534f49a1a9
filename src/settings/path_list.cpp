#include "settings/path_list.h"

#include <algorithm>

PathList::PathList(std::initializer_list<std::string_view> paths) {
  for (std::string_view path : paths) push_back(path);
}

void PathList::push_back(std::string_view path) {
  size_t cut = path.rfind('/');
  cut = cut == std::string_view::npos ? 0 : cut + 1;
  std::string_view folder = path.substr(0, cut);
  if (folders_.empty() || folders_.back() != folder) {
    folders_.emplace_back(folder);
    folderFirst_.push_back(starts_.size());
  }
  starts_.push_back(names_.size());
  names_.insert(names_.end(), path.begin() + cut, path.end());
}

std::string PathList::operator[](size_t i) const {
  // The last folder whose first entry is not after i holds entry i.
  size_t run =
      std::upper_bound(folderFirst_.begin(), folderFirst_.end(), i) - folderFirst_.begin() - 1;
  uint64_t end = i + 1 < starts_.size() ? starts_[i + 1] : names_.size();
  std::string path = folders_[run];
  path.append(names_.begin() + starts_[i], names_.begin() + end);
  return path;
}

void PathList::clear() {
  folders_.clear();
  folderFirst_.clear();
  names_.clear();
  starts_.clear();
}

void PathList::shrink_to_fit() {
  folders_.shrink_to_fit();
  folderFirst_.shrink_to_fit();
  names_.shrink_to_fit();
  starts_.shrink_to_fit();
}

bool operator==(const PathList& a, const std::vector<std::string>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < b.size(); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}
