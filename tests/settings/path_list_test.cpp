#include "settings/path_list.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

namespace {

using Paths = std::vector<std::string>;

struct ListCase {
  const char* label;
  Paths paths;
};

const ListCase kListCases[] = {
    {"empty list", {}},
    {"one folder", {"/p/a.bmp", "/p/b.bmp", "/p/c.bmp"}},
    {"folders in turn", {"/p/a.bmp", "/p/s/a.bmp", "/p/a.bmp", "/p/s/b.bmp"}},
    {"same name in every folder", {"/a/x.jpg", "/b/x.jpg", "/a/b/x.jpg"}},
    {"no folder part", {"earlier", "/p/a.bmp", "later"}},
    {"file of the root", {"/a.bmp", "/b.bmp", "/p/c.bmp"}},
    {"empty entries and folders only", {"", "/p/", "", "/p/", "/"}},
    {"doubled and trailing slashes", {"//p//a", "//p//", "//p//a"}},
    {"a folder that prefixes the next", {"/p/a", "/p/ab/c", "/p/a/c", "/pa/c"}},
    {"bytes as they are",
     {std::string("/p/\xff\xfe.bmp"), std::string("/p/new\nline %s.bmp"),
      std::string("/p/nul\0inside", 13), std::string("/\x80/-a.bmp")}},
    {"long components",
     {"/" + std::string(250, 'f') + "/" + std::string(250, 'n'),
      "/" + std::string(250, 'f') + "/b"}},
};

TEST(PathList, EntriesComeBackAsAppended) {
  for (const ListCase& c : kListCases) {
    SCOPED_TRACE(c.label);
    PathList list;
    for (const std::string& p : c.paths) list.push_back(p);
    ASSERT_EQ(list.size(), c.paths.size());
    EXPECT_EQ(list.empty(), c.paths.empty());
    for (size_t i = 0; i < c.paths.size(); ++i) EXPECT_EQ(list[i], c.paths[i]) << "entry " << i;
    EXPECT_EQ(Paths(list.begin(), list.end()), c.paths);
    EXPECT_TRUE(list == c.paths);
  }
}

TEST(PathList, ComparesEntryByEntry) {
  PathList list{"/p/a", "/p/b"};
  EXPECT_TRUE(list == (Paths{"/p/a", "/p/b"}));
  EXPECT_FALSE(list == (Paths{"/p/a"}));
  EXPECT_FALSE(list == (Paths{"/p/b", "/p/a"}));
  EXPECT_FALSE(list == (Paths{"/p/a", "/q/b"}));
}

TEST(PathList, ClearedListTakesNewEntries) {
  PathList list{"/p/a", "/q/b"};
  list.clear();
  list.shrink_to_fit();
  EXPECT_TRUE(list.empty());
  list.push_back("/q/c");
  list.push_back("/p/d");
  EXPECT_TRUE(list == (Paths{"/q/c", "/p/d"}));
}

// A long list of a walk's shape: runs of files per folder, folders revisited in any order.
TEST(PathList, LongWalkMatchesAPlainList) {
  std::mt19937 random(7);
  Paths expected;
  PathList list;
  for (int run = 0; run < 2000; ++run) {
    std::string folder = "/tree";
    for (int depth = static_cast<int>(random() % 4); depth > 0; --depth) {
      folder += "/d" + std::to_string(random() % 5);
    }
    for (int n = static_cast<int>(random() % 40); n > 0; --n) {
      std::string path = folder + "/img" + std::to_string(random() % 100000) + ".bmp";
      expected.push_back(path);
      list.push_back(path);
    }
  }
  ASSERT_EQ(list.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) ASSERT_EQ(list[i], expected[i]) << "entry " << i;
}

}  // namespace
