#include "batch/naming.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <vector>

#include "support/process.h"

namespace {

struct NameCase {
  const char* label;
  std::vector<std::string> existing;  // files made before the call
  std::vector<std::string> readOnly;  // of those, the ones made read-only (folders 555)
  const char* wanted;
  const char* expected;
  const char* extension = ".jpg";
};

const NameCase kNameCases[] = {
    {"free name kept", {}, {}, "a.jpg", "a.jpg"},
    {"taken name gets a counter", {"a.jpg"}, {}, "a.jpg", "a(1).jpg"},
    {"counter goes up", {"a.jpg", "a(1).jpg"}, {}, "a.jpg", "a(2).jpg"},
    {"first gap taken", {"a.jpg", "a(2).jpg"}, {}, "a.jpg", "a(1).jpg"},
    {"only the last dot counts", {"photo.2001.jpg"}, {}, "photo.2001.jpg", "photo.2001(1).jpg"},
    {"page names", {"a_p0.jpg"}, {}, "a_p0.jpg", "a_p0(1).jpg"},
    {"counters do not pile up", {"a(1).jpg"}, {}, "a(1).jpg", "a(1)(1).jpg"},
    {"read-only counts as free", {"a.jpg"}, {"a.jpg"}, "a.jpg", "a.jpg"},
    {"read-only candidate ends the search",
     {"a.jpg", "a(1).jpg"},
     {"a(1).jpg"},
     "a.jpg",
     "a(1).jpg"},
    {"folder of that name is taken", {"x.jpg/"}, {}, "x.jpg", "x(1).jpg"},
    {"read-only folder is taken all the same", {"x.jpg/"}, {"x.jpg/"}, "x.jpg", "x(1).jpg"},
    {"read-only folder candidate is passed over",
     {"x.jpg", "x(1).jpg/"},
     {"x(1).jpg/"},
     "x.jpg",
     "x(2).jpg"},
    {"dot in a folder name is no extension", {"d.e/readme"}, {}, "d.e/readme", "d.e/readme(1)", ""},
};

TEST(Naming, MakeUniqueName) {
  for (const NameCase& c : kNameCases) {
    SCOPED_TRACE(c.label);
    TempDir dir;
    mkdir((dir / "d.e").c_str(), 0755);
    for (const std::string& name : c.existing) {
      if (name.back() == '/') {
        mkdir((dir / name).c_str(), 0755);
      } else {
        WriteFile(dir / name, "x");
      }
    }
    for (const std::string& name : c.readOnly) {
      chmod((dir / name).c_str(), name.back() == '/' ? 0555 : 0444);
    }
    EXPECT_EQ(MakeUniqueName(dir / c.wanted, c.extension, SystemPlatform()), dir / c.expected);
  }
}

TEST(Naming, DeleteExisting) {
  TempDir dir;
  WriteFile(dir / "writable", "x");
  WriteFile(dir / "readonly", "x");
  chmod((dir / "readonly").c_str(), 0444);
  mkdir((dir / "folder").c_str(), 0755);
  EXPECT_EQ(DeleteExisting(dir / "missing", SystemPlatform()), 0);
  EXPECT_EQ(DeleteExisting(dir / "readonly", SystemPlatform()), 0);
  EXPECT_EQ(DeleteExisting(dir / "folder", SystemPlatform()), 0);
  EXPECT_NE(DeleteExisting(dir / "writable", SystemPlatform()), 0);
  PosixPlatform platform;
  EXPECT_TRUE(platform.IsWritable(dir / "folder"));
  EXPECT_FALSE(platform.IsWritable(dir / "writable"));
  EXPECT_EQ(ReadFile(dir / "readonly"), "x");
}

}  // namespace
