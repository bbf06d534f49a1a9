// Every image of the shared test corpus through Load and a small JPEG save of page 0: corrupt
// files must fail cleanly (the sanitizers watch), valid files must convert unless they are
// listed in corpus_expected_failures.txt.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <vector>

#include "codec/image_interface.h"

namespace {

namespace fs = std::filesystem;

const fs::path kCorpus = fs::path(XEVRA_SOURCE_DIR) / ".." / "shared" / "corpus";
const fs::path kExpectedFailures =
    fs::path(XEVRA_SOURCE_DIR) / "tests" / "codec" / "corpus_expected_failures.txt";

std::vector<std::string> Images(const char* kind) {
  std::vector<std::string> files;
  fs::path root = kCorpus / kind;
  if (!fs::is_directory(root)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files.push_back(fs::relative(entry.path(), kCorpus).string());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::set<std::string> ExpectedFailures() {
  std::set<std::string> listed;
  std::ifstream in(kExpectedFailures);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] != '#') listed.insert(line);
  }
  return listed;
}

// Returns true when the file loaded and its first page saved as a small JPEG.
bool Convert(const std::string& relative, const std::string& out) {
  CImageInterface image;
  if (!image.Load((kCorpus / relative).c_str())) return false;
  _SAVEIMAGEINFO::_JPG info;
  InitSaveInfo(info);
  info.nWidth = 256;
  info.nHeight = 256;
  info.bProportional = 1;
  bool saved = image.Save(out.c_str(), &info) != 0;
  unlink(out.c_str());
  return saved;
}

class Corpus : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!fs::is_directory(kCorpus)) GTEST_SKIP() << "no corpus at " << kCorpus;
    char pattern[] = "/tmp/xevra_corpus_XXXXXX";
    dir_ = mkdtemp(pattern);
  }
  void TearDown() override {
    if (!dir_.empty()) fs::remove_all(dir_);
  }
  std::string Output() const { return dir_ + "/out.jpg"; }
  std::string dir_;
};

TEST_F(Corpus, CorruptFilesFailCleanly) {
  std::vector<std::string> files = Images("corrupt");
  int converted = 0;
  for (const std::string& file : files) converted += Convert(file, Output());
  std::cout << "[ corpus   ] corrupt: " << files.size() << " files, " << converted
            << " still converted (allowed)\n";
}

TEST_F(Corpus, ValidFilesConvertUnlessListed) {
  std::set<std::string> listed = ExpectedFailures();
  std::vector<std::string> unexpected, nowPassing;
  int failed = 0;
  std::vector<std::string> files = Images("valid");
  for (const std::string& file : files) {
    bool ok = Convert(file, Output());
    failed += !ok;
    if (!ok && !listed.count(file)) unexpected.push_back(file);
    if (ok && listed.count(file)) nowPassing.push_back(file);
  }
  std::cout << "[ corpus   ] valid: " << files.size() << " files, " << failed << " failed, "
            << nowPassing.size() << " listed but now converting\n";
  for (const std::string& file : nowPassing)
    std::cout << "[ corpus   ] now converts: " << file << "\n";
  for (const std::string& file : unexpected) ADD_FAILURE() << "does not convert: " << file;
}

}  // namespace
