#include "batch/collect.h"

#include <algorithm>
#include <string>
#include <vector>

#include "batch/output_path.h"

namespace {

struct FolderId {
  uint64_t device;
  uint64_t inode;
  bool operator==(const FolderId&) const = default;
};

// The folders from the source folder down to the one being visited.
using FolderChain = std::vector<FolderId>;

std::string EntryText(const std::string& root, const std::string& name) {
  if (!root.empty() && root.back() == '/') return root + name;
  return root + "/" + name;
}

// Restores the saved current directory on every way out of a folder visit.
class DirRestorer {
 public:
  explicit DirRestorer(Platform& platform) : platform_(platform) {
    saved_ = platform_.CurrentDir(&dir_);
  }
  ~DirRestorer() {
    if (saved_) platform_.ChangeDir(dir_);
  }
  DirRestorer(const DirRestorer&) = delete;
  DirRestorer& operator=(const DirRestorer&) = delete;

 private:
  Platform& platform_;
  std::string dir_;
  bool saved_;
};

void CollectFiles(CConvertJob& job, Platform& platform) {
  std::string root = FolderOf(platform.FullPath(job.m_strMask));
  for (const DirEntry& entry : platform.Enumerate(job.m_strMask)) {
    if (!entry.isFolder) job.m_files.push_back(EntryText(root, entry.name));
  }
}

void CollectSubfolder(CConvertJob& job, const std::string& folderPath, FolderChain& chain,
                      Platform& platform);

// Descends into every sub-folder of the current directory, in listing order. A folder that is
// already on the chain (a link back to an ancestor, or to the folder itself) is not entered:
// its files are collected once, under the path by which the walk first reached them.
void CollectSubfolders(CConvertJob& job, FolderChain& chain, Platform& platform) {
  std::vector<DirEntry> entries = platform.Enumerate("*.*");
  std::string root = FolderOf(platform.FullPath("*.*"));
  auto self = std::find_if(entries.begin(), entries.end(),
                           [](const DirEntry& e) { return e.name == "." && e.isFolder; });
  if (self != entries.end()) chain.push_back(FolderId{self->device, self->inode});
  for (const DirEntry& entry : entries) {
    if (!entry.isFolder || entry.name == "." || entry.name == "..") continue;
    FolderId id{entry.device, entry.inode};
    if (std::find(chain.begin(), chain.end(), id) != chain.end()) continue;
    CollectSubfolder(job, EntryText(root, entry.name), chain, platform);
  }
  if (self != entries.end()) chain.pop_back();
}

// Visits one folder: its matching files, then (when asked) everything below it.
void VisitFolder(CConvertJob& job, const std::string& folder, bool subfolders, FolderChain& chain,
                 Platform& platform) {
  DirRestorer restorer(platform);
  if (!platform.ChangeDir(folder)) return;
  CollectFiles(job, platform);
  if (subfolders) CollectSubfolders(job, chain, platform);
}

void CollectSubfolder(CConvertJob& job, const std::string& folderPath, FolderChain& chain,
                      Platform& platform) {
  VisitFolder(job, folderPath, /*subfolders=*/true, chain, platform);
}

}  // namespace

void CollectSourceFiles(CConvertJob& job, int subfolders, Platform& platform) {
  FolderChain chain;
  VisitFolder(job, job.m_strSource, subfolders != 0, chain, platform);
}

std::string SourceFolderFullPath(const CConvertJob& job, Platform& platform) {
  DirRestorer restorer(platform);
  if (!platform.ChangeDir(job.m_strSource)) return std::string();
  return FolderOf(platform.FullPath(job.m_strMask));
}
