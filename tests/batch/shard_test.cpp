#include "batch/shard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace {

// Published FNV-1a 64 values: a part must not move when the program is built elsewhere.
TEST(Shard, HashIsFnv1a64) {
  EXPECT_EQ(StableHash(""), 0xcbf29ce484222325ULL);
  EXPECT_EQ(StableHash("a"), 0xaf63dc4c8601ec8cULL);
  EXPECT_EQ(StableHash("foobar"), 0x85944171f73967e8ULL);
}

struct KeyCase {
  const char* label;
  const char* output;  // relative to the destination
  const char* key;
};

// Outputs that could compete for one name share a key; others do not.
const KeyCase kKeyCases[] = {
    {"plain name", "a.jpg", "/a"},
    {"counter", "a(1).jpg", "/a"},
    {"counter of a counter", "a(1)(12).jpg", "/a"},
    {"page", "a_p0.jpg", "/a"},
    {"page of a counter", "a(1)_p3.jpg", "/a"},
    {"counter of a page", "a_p10(2).jpg", "/a"},
    {"folder kept", "x/y/a(2).jpg", "x/y/a"},
    {"letter case folded", "X/A.jpg", "x/a"},
    {"counter without digits stays", "a().jpg", "/a()"},
    {"page without digits stays", "a_p.jpg", "/a_p"},
    {"counter inside the name stays", "a(1)b.jpg", "/a(1)b"},
    {"only the format's extension goes", "photo.2001.jpg", "/photo.2001"},
    {"name that is only a counter", "(3).jpg", "/"},
    {"dot in a folder", "x.y/readme.jpg", "x.y/readme"},
};

TEST(Shard, KeyTable) {
  for (const KeyCase& c : kKeyCases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(ShardKey(c.output, ".jpg"), c.key);
  }
}

PathList MakeList(const std::vector<std::string>& paths) {
  PathList list;
  for (const std::string& path : paths) list.push_back(path);
  return list;
}

std::vector<std::string> Entries(const PathList& list) { return {list.begin(), list.end()}; }

struct PartitionCase {
  const char* label;
  std::vector<std::string> files;                  // below /src
  std::vector<std::vector<std::string>> together;  // each group falls into one part
};

const PartitionCase kPartitionCases[] = {
    {"same stems in one folder",
     {"a.bmp", "a.png", "a(1).tif", "a_p0.bmp", "A.gif", "b.bmp", "c.bmp", "d.bmp", "e.bmp"},
     {{"a.bmp", "a.png", "a(1).tif", "a_p0.bmp", "A.gif"}}},
    {"sources without extension and odd names",
     {"readme", "readme.bmp", "x.y/readme", "x.y/readme(1).png", ".hidden", "two words.bmp",
      "it's.bmp", "f", "g", "h"},
     {{"readme", "readme.bmp"}, {"x.y/readme", "x.y/readme(1).png"}}},
    {"deep folders",
     {"1/2/3/4/5/6/a.bmp", "1/2/3/4/5/6/a.tif", "1/2/3/4/5/a.bmp", "1/a.bmp", "2/a.bmp", "3/a.bmp",
      "4/a.bmp"},
     {{"1/2/3/4/5/6/a.bmp", "1/2/3/4/5/6/a.tif"}}},
};

// For every part count, the parts are disjoint, keep the list's order and together give
// the whole list; files that could compete for a name are never split up.
TEST(Shard, PartsPartitionTheListAndKeepCompetitorsTogether) {
  for (const PartitionCase& c : kPartitionCases) {
    std::vector<std::string> paths;
    for (const std::string& f : c.files) paths.push_back("/src/" + f);
    PathList files = MakeList(paths);
    for (int count : {1, 2, 3, 7}) {
      SCOPED_TRACE(std::string(c.label) + ", parts: " + std::to_string(count));
      std::vector<std::string> all;
      std::vector<int> partOf(paths.size(), -1);
      for (int index = 0; index < count; ++index) {
        std::vector<std::string> part = Entries(KeepShard(files, "/src", ".jpg", "", index, count));
        EXPECT_TRUE(std::is_sorted(part.begin(), part.end(), [&](auto& a, auto& b) {
          return std::find(paths.begin(), paths.end(), a) <
                 std::find(paths.begin(), paths.end(), b);
        }));
        for (const std::string& p : part) {
          partOf[std::find(paths.begin(), paths.end(), p) - paths.begin()] = index;
        }
        all.insert(all.end(), part.begin(), part.end());
      }
      std::sort(all.begin(), all.end());
      std::vector<std::string> sorted = paths;
      std::sort(sorted.begin(), sorted.end());
      EXPECT_EQ(all, sorted);
      for (const auto& group : c.together) {
        std::set<int> parts;
        for (const std::string& f : group) {
          parts.insert(partOf[std::find(paths.begin(), paths.end(), "/src/" + f) - paths.begin()]);
        }
        EXPECT_EQ(parts.size(), 1u) << group.front();
      }
    }
  }
}

TEST(Shard, IndexOutsideTheCountKeepsNothing) {
  PathList files = MakeList({"/src/a.bmp", "/src/b.bmp", "/src/c.bmp"});
  EXPECT_TRUE(KeepShard(files, "/src", ".jpg", "", 3, 3).empty());
  EXPECT_TRUE(KeepShard(files, "/src", ".jpg", "", -1, 3).empty());
  EXPECT_EQ(Entries(KeepShard(files, "/src", ".jpg", "", 0, 1)), Entries(files));
}

// Every file of single-file mode writes the one file: they all share a part.
TEST(Shard, SingleFileKeepsTheBatchInOnePart) {
  PathList files = MakeList({"/src/a.bmp", "/src/b.bmp", "/src/x/c.bmp", "/src/d.bmp"});
  int nonEmpty = 0;
  for (int index = 0; index < 7; ++index) {
    size_t kept = KeepShard(files, "/src", ".jpg", "all.jpg", index, 7).size();
    EXPECT_TRUE(kept == 0 || kept == files.size());
    nonEmpty += kept != 0;
  }
  EXPECT_EQ(nonEmpty, 1);
}

// 90% of the files in one folder (a camera's dump), the rest spread over small folders: no
// part may hold much more than its share, as a split by folder would.
TEST(Shard, BalancedWhateverTheFolders) {
  PathList files;
  int total = 0;
  for (int i = 0; i < 3600; ++i, ++total) {
    char name[32];
    std::snprintf(name, sizeof name, "/src/dcim/IMG_%04d.JPG", i + 1);
    files.push_back(name);
  }
  for (int folder = 0; folder < 40; ++folder) {
    for (int i = 0; i < 10; ++i, ++total) {
      files.push_back("/src/albums/" + std::to_string(2000 + folder) + "/p" + std::to_string(i) +
                      ".png");
    }
  }
  for (int count : {2, 3, 7, 8}) {
    size_t largest = 0;
    for (int index = 0; index < count; ++index) {
      largest = std::max(largest, KeepShard(files, "/src", ".jpg", "", index, count).size());
    }
    SCOPED_TRACE("parts: " + std::to_string(count));
    // Within 6% of an even share: a split by folder would give one part 90%.
    EXPECT_LE(largest * count, static_cast<size_t>(total) * 106 / 100);
  }
}

}  // namespace
