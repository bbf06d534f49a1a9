// The whole program on real files: console text byte for byte, the files it writes, and its
// exit status.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "codec/formats/registry.h"
#include "support/images.h"
#include "support/process.h"

namespace {

namespace fs = std::filesystem;

void ExpectJpeg(const std::string& path, int width, int height, int components = 3) {
  JpegInfo info;
  ASSERT_TRUE(ReadJpegInfo(path, &info)) << path << " is a complete JPEG";
  EXPECT_EQ(info.width, width) << path;
  EXPECT_EQ(info.height, height) << path;
  EXPECT_EQ(info.components, components) << path;
}

class Convert : public testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(src_);
    fs::create_directory(out_);
  }
  ProcessResult Run(std::vector<std::string> args, const std::string& cwd = "/") {
    return RunXevraBinary(args, cwd);
  }
  TempDir dir_;
  std::string src_ = dir_ / "src";
  std::string out_ = dir_ / "out";
};

TEST_F(Convert, ConvertsAndReports) {
  WriteBmp(src_ + "/a.bmp", 8, 6);
  WriteFile(src_ + "/broken.bmp", "BM not really");
  WriteBmp(src_ + "/c.bmp", 5, 4, 1);
  ProcessResult r = Run({"s=" + src_ + "/*.bmp", "d=" + out_});
  EXPECT_EQ(r.out,
            " 3 graphic files found\n\n"
            " a.bmp....Ready\n"
            " broken.bmp.Loading failed\n"
            " c.bmp....Ready\n");
  EXPECT_EQ(r.exitCode, 1) << "a file was not converted";
  EXPECT_EQ(ListTree(out_), (std::vector<std::string>{"a.jpg", "c.jpg"}));
  ExpectJpeg(out_ + "/a.jpg", 8, 6);
}

TEST_F(Convert, SwitchesReachTheEncoder) {
  WriteBmp(src_ + "/a.bmp", 64, 48);
  ProcessResult r = Run({"s=" + src_ + "/*.BMP", "d=" + out_, "-w32", "-prop", "-cd8", "-q90"});
  EXPECT_EQ(r.exitCode, 0);
  ExpectJpeg(out_ + "/a.jpg", 32, 24, 1);
  r = Run({"s=" + src_ + "/*.bmp", "d=" + out_, "-rot90", "-ov"});
  ExpectJpeg(out_ + "/a.jpg", 48, 64);
}

TEST_F(Convert, DestinationForms) {
  WriteBmp(src_ + "/a.bmp", 4, 4);
  struct Case {
    const char* label;
    std::string dest;
    std::string written;  // the output expected, empty when nothing may be written
    int exitCode;
  };
  std::string roDest = dir_ / "readonly";
  fs::create_directory(roDest);
  chmod(roDest.c_str(), 0555);
  const Case cases[] = {
      {"separator and double quote", out_ + "/\"", out_ + "/a.jpg", 0},
      {"missing folder with parent is made", dir_ / "made", dir_ / "made/a.jpg", 0},
      {"missing parent", dir_ / "no/such", "", 1},
      {"read-only folder", roDest, "", 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    ProcessResult r = Run({"s=" + src_ + "/*.bmp", "d=" + c.dest});
    EXPECT_EQ(r.exitCode, c.exitCode);
    if (c.written.empty()) {
      EXPECT_EQ(r.out, " 1 graphic files found\n\n") << "the driver says nothing";
    } else {
      EXPECT_EQ(r.out, " 1 graphic files found\n\n a.bmp....Ready\n");
      ExpectJpeg(c.written, 4, 4);
    }
  }
  EXPECT_FALSE(fs::exists(dir_ / "no"));
  EXPECT_TRUE(fs::is_empty(roDest));
}

TEST_F(Convert, MirrorsFoldersAndNames) {
  for (const char* f :
       {"a.bmp", "X/b.bmp", "X/Y/Z/deep.bmp", "X.Y/readme", ".hidden", "readme", "X/a.b.bmp"}) {
    fs::create_directories(fs::path(src_ + "/" + f).parent_path());
    WriteBmp(src_ + "/" + f, 3, 2);
  }
  ProcessResult r = Run({"s=" + src_ + "/*.*", "d=" + out_, "-sf"});
  EXPECT_EQ(r.exitCode, 0) << r.out;
  EXPECT_EQ(ListTree(out_), (std::vector<std::string>{
                                ".hidden.jpg", "X.Y/", "X.Y/readme.jpg", "X/", "X/Y/", "X/Y/Z/",
                                "X/Y/Z/deep.jpg", "X/a.b.jpg", "X/b.jpg", "a.jpg", "readme.jpg"}));
}

TEST_F(Convert, RelativeSourcesMirrorLikeFullOnes) {
  fs::create_directories(src_ + "/X");
  WriteBmp(src_ + "/X/b.bmp", 3, 2);
  const std::vector<std::string> expected{"X/", "X/b.jpg"};
  for (const std::string& source :
       {std::string("s=src/*.bmp"), "s=" + src_ + "//*.bmp", std::string("s=./src/../src/*.bmp")}) {
    SCOPED_TRACE(source);
    fs::remove_all(out_);
    ProcessResult r = Run({source, "d=out", "-sf"}, dir_.path());
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(ListTree(out_), expected);
  }
}

TEST_F(Convert, DestinationDefaultsToTheSourceFolder) {
  WriteBmp(src_ + "/a.bmp", 3, 2);
  ProcessResult r = Run({"s=" + src_ + "/*.*"});
  EXPECT_EQ(r.out, " 1 graphic files found\n\n a.bmp....Ready\n") << "outputs are not re-read";
  r = Run({"s=" + src_ + "/*.bmp"});
  EXPECT_EQ(ListTree(src_), (std::vector<std::string>{"a(1).jpg", "a.bmp", "a.jpg"}));
}

TEST_F(Convert, ExistingOutputsAreKeptUnlessOverwriting) {
  WriteBmp(src_ + "/a.bmp", 3, 2);
  WriteFile(out_ + "/a.jpg", "old");
  WriteFile(out_ + "/locked.jpg", "locked");
  chmod((out_ + "/locked.jpg").c_str(), 0444);
  WriteBmp(src_ + "/locked.bmp", 3, 2);
  ProcessResult r = Run({"s=" + src_ + "/a.bmp", "d=" + out_});
  EXPECT_EQ(ReadFile(out_ + "/a.jpg"), "old");
  ExpectJpeg(out_ + "/a(1).jpg", 3, 2);
  r = Run({"s=" + src_ + "/*.bmp", "d=" + out_, "-ov"});
  EXPECT_EQ(r.out, " 2 graphic files found\n\n a.bmp....Ready\n locked.bmp...Converting failed\n");
  EXPECT_EQ(r.exitCode, 1);
  ExpectJpeg(out_ + "/a.jpg", 3, 2);
  EXPECT_EQ(ReadFile(out_ + "/locked.jpg"), "locked") << "read-only files are never replaced";
  EXPECT_EQ(ListTree(out_), (std::vector<std::string>{"a(1).jpg", "a.jpg", "locked.jpg"}));
}

TEST_F(Convert, PageSplitting) {
  WriteTiff(src_ + "/scan.tif", 4, 3, 3);
  WriteTiff(src_ + "/one.tif", 4, 3, 1);
  WriteFile(out_ + "/scan.jpg", "taken");
  ProcessResult r = Run({"s=" + src_ + "/*.tif", "d=" + out_, "-sep"});
  EXPECT_EQ(r.out, " 2 graphic files found\n\n one.tif....Ready\n scan.tif..........Ready\n");
  EXPECT_EQ(r.exitCode, 0);
  EXPECT_EQ(ListTree(out_), (std::vector<std::string>{"one.jpg", "scan(1)_p0.jpg", "scan(1)_p1.jpg",
                                                      "scan(1)_p2.jpg", "scan.jpg"}));
  ExpectJpeg(out_ + "/scan(1)_p2.jpg", 4, 3);
#if defined(__x86_64__)
  // One file at a time, each page's piece is on the console as soon as that page has its
  // name: the first pages' dots can be read before the last page is saved.
  const std::string later = dir_ / "later";
  r = RunXevraBinary({"s=" + src_ + "/scan.tif", "d=" + later, "-sep", "-j1"}, "/", {},
                     {.watchedFile = later + "/scan_p2.jpg"});
  if (r.exitCode == kTracingRefused) GTEST_SKIP() << "this machine does not allow ptrace";
  EXPECT_EQ(r.out, " 1 graphic files found\n\n scan.tif..........Ready\n");
  EXPECT_EQ(r.outBeforeWatched, " 1 graphic files found\n\n scan.tif......");
  EXPECT_EQ(r.exitCode, 0);
#endif
}

TEST_F(Convert, FailedPageInTheMiddle) {
  WriteTiff(src_ + "/scan.tif", 4, 3, 3);
  fs::create_directory(out_ + "/scan_p1.jpg");  // a folder holds the page's name
  ProcessResult r = Run({"s=" + src_ + "/*.tif", "d=" + out_, "-sep", "-ov"});
  EXPECT_EQ(r.out, " 1 graphic files found\n\n scan.tif.....Converting failed\n....Ready\n");
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_EQ(ListTree(out_),
            (std::vector<std::string>{"scan_p0.jpg", "scan_p1.jpg/", "scan_p2.jpg"}));
}

TEST_F(Convert, UnusableOutputFolderClosesTheLine) {
  fs::create_directories(src_ + "/X");
  WriteBmp(src_ + "/X/b.bmp", 3, 2);
  WriteBmp(src_ + "/Y.bmp", 3, 2);
  fs::create_directories(src_ + "/Z");
  WriteBmp(src_ + "/Z/c.bmp", 3, 2);
  WriteFile(out_ + "/X", "a file where the folder should be");
  ProcessResult r = Run({"s=" + src_ + "/*.bmp", "d=" + out_, "-sf"});
  EXPECT_EQ(r.out,
            " 3 graphic files found\n\n Y.bmp....Ready\n b.bmp...Converting failed\n"
            " c.bmp....Ready\n");
  EXPECT_EQ(r.exitCode, 1);
}

TEST_F(Convert, NamesArePrintedAsTheyAre) {
  const std::string name = "100% -sf \"q\" \xff.bmp";
  WriteBmp(src_ + "/" + name, 3, 2);
  ProcessResult r = Run({"s=" + src_ + "/*.bmp", "d=" + out_});
  EXPECT_EQ(r.out, " 1 graphic files found\n\n " + name + "....Ready\n");
  ExpectJpeg(out_ + "/100% -sf \"q\" \xff.jpg", 3, 2);
}

// What people are told on standard error, one case a row: each reason a file is not
// converted, each hint for an argument, the summary and the nothing-found line. Standard
// output stays byte for byte what it always was. "{src}", "{out}" and "{dir}" stand for the
// case's folders.
struct ToldCase {
  const char* label;
  std::function<void(const std::string& src, const std::string& out)> setup;
  std::vector<std::string> args;
  std::string out;
  std::string err;
  int exitCode;
  const char* format = nullptr;  // a source format of the build that the case needs
};

std::string Expand(std::string text, const std::string& dir) {
  for (const auto& [token, path] : {std::pair<std::string, std::string>{"{src}", dir + "/src"},
                                    {"{out}", dir + "/out"},
                                    {"{dir}", dir}}) {
    for (size_t at = text.find(token); at != std::string::npos; at = text.find(token, at)) {
      text.replace(at, token.size(), path);
      at += path.size();
    }
  }
  return text;
}

const std::string kLongStem(251, 'n');  // with ".jpg" the longest name a file system takes

const ToldCase kToldCases[] = {
    {"an MP4 video",
     [](const std::string& src, const std::string&) {
       WriteFile(src + "/clip.mp4", std::string("\0\0\0\x18"
                                                "ftypisom\0\0\0\0isomavc1",
                                                24));
     },
     {"s={src}/*.*", "d={out}"},
     " 1 graphic files found\n\n clip.mp4.Loading failed\n",
     "xevra: {src}/clip.mp4: not an image that xevra reads; it looks like an MP4 video\n"
     "xevra: 0 files converted, 1 file not converted\n",
     1},
    {"text and unknown bytes",
     [](const std::string& src, const std::string&) {
       WriteFile(src + "/notes.txt", "shopping list\n");
       WriteFile(src + "/odd.bin", std::string("\x01\x02\x00\xfe", 4));
     },
     {"s={src}/*.*", "d={out}"},
     " 2 graphic files found\n\n notes.txt.Loading failed\n odd.bin.Loading failed\n",
     "xevra: {src}/notes.txt: not an image that xevra reads; it looks like text\n"
     "xevra: {src}/odd.bin: not an image that xevra reads\n"
     "xevra: 0 files converted, 2 files not converted\n",
     1},
    {"data ends early, at the row where it ends",
     [](const std::string& src, const std::string&) {
       // Rows stored uncompressed, in small chunks, so that the cut falls between rows.
       std::string raw;
       for (int y = 0; y < 40; ++y) raw += '\0' + std::string(24, static_cast<char>(y * 5));
       std::string zlib = StoredZlib(raw);
       std::string png("\x89PNG\r\n\x1a\n", 8);
       std::string ihdr;
       AppendBe32(ihdr, 8);
       AppendBe32(ihdr, 40);
       AppendPngChunk(png, "IHDR", ihdr + std::string("\x08\x02\0\0\0", 5));
       for (size_t at = 0; at < zlib.size(); at += 100) {
         AppendPngChunk(png, "IDAT", zlib.substr(at, 100));
       }
       AppendPngChunk(png, "IEND", "");
       WriteFile(src + "/cut.png", png.substr(0, png.size() / 2));
     },
     {"s={src}/*.png", "d={out}"},
     " 1 graphic files found\n\n cut.png...Converting failed\n",
     "xevra: {src}/cut.png: the file ends early, at row 17 of 40: end of stream\n"
     "xevra: 0 files converted, 1 file not converted\n",
     1,
     "png"},
    {"not a regular file",
     [](const std::string& src, const std::string&) { mkfifo((src + "/pipe.bmp").c_str(), 0644); },
     {"s={src}/*.bmp", "d={out}"},
     " 1 graphic files found\n\n pipe.bmp.Loading failed\n",
     "xevra: {src}/pipe.bmp: the file cannot be read: it is not a regular file\n"
     "xevra: 0 files converted, 1 file not converted\n",
     1},
    {"output folder in the way, with the file's full path",
     [](const std::string& src, const std::string& out) {
       std::filesystem::create_directories(src + "/X");
       WriteBmp(src + "/X/a.bmp", 3, 2);
       WriteBmp(src + "/a.bmp", 3, 2);
       WriteFile(out + "/X", "a file where the folder should be");
     },
     {"s={src}/*.bmp", "d={out}", "-sf"},
     " 2 graphic files found\n\n a.bmp....Ready\n a.bmp...Converting failed\n",
     "xevra: {src}/X/a.bmp: the output folder {out}/X cannot be used: a file of that name is "
     "in the way\n"
     "xevra: 1 file converted, 1 file not converted\n",
     1},
    {"output name over the file system's limit",
     [](const std::string& src, const std::string& out) {
       WriteBmp(src + "/" + kLongStem + ".bmp", 3, 2);
       WriteFile(out + "/" + kLongStem + ".jpg", "taken: the free name gets a counter");
     },
     {"s={src}/*.bmp", "d={out}"},
     " 1 graphic files found\n\n " + kLongStem + ".bmp...Converting failed\n",
     "xevra: {src}/" + kLongStem + ".bmp: the output {out}/" + kLongStem +
         "(1).jpg cannot take its name: the name is 258 bytes long, over the file system's "
         "limit of 255\n"
         "xevra: 0 files converted, 1 file not converted\n",
     1},
    {"read-only output with -ov",
     [](const std::string& src, const std::string& out) {
       WriteBmp(src + "/locked.bmp", 3, 2);
       WriteFile(out + "/locked.jpg", "locked");
       chmod((out + "/locked.jpg").c_str(), 0444);
     },
     {"s={src}/*.bmp", "d={out}", "-ov"},
     " 1 graphic files found\n\n locked.bmp...Converting failed\n",
     "xevra: {src}/locked.bmp: the output {out}/locked.jpg cannot take its name: a read-only "
     "file of that name is in the way\n"
     "xevra: 0 files converted, 1 file not converted\n",
     1},
    {"a page with -sep",
     [](const std::string& src, const std::string& out) {
       WriteTiff(src + "/scan.tif", 4, 3, 3);
       std::filesystem::create_directory(out + "/scan_p1.jpg");
     },
     {"s={src}/*.tif", "d={out}", "-sep", "-ov"},
     " 1 graphic files found\n\n scan.tif.....Converting failed\n....Ready\n",
     "xevra: {src}/scan.tif, page 1: the output {out}/scan_p1.jpg cannot take its name: a "
     "folder of that name is in the way\n"
     "xevra: 0 files converted, 1 file not converted\n",
     1},
    {"destination whose parent is missing",
     [](const std::string& src, const std::string&) { WriteBmp(src + "/a.bmp", 3, 2); },
     {"s={src}/*.bmp", "d={dir}/no/such"},
     " 1 graphic files found\n\n",
     "xevra: the destination folder {dir}/no/such cannot be used: the folder {dir}/no is "
     "missing; nothing was converted\n"
     "xevra: 0 files converted, 1 file not converted\n",
     1},
    {"read-only destination",
     [](const std::string& src, const std::string& out) {
       WriteBmp(src + "/a.bmp", 3, 2);
       chmod(out.c_str(), 0555);
     },
     {"s={src}/*.bmp", "d={out}"},
     " 1 graphic files found\n\n",
     "xevra: the destination folder {out} cannot be used: it is read-only; nothing was "
     "converted\n"
     "xevra: 0 files converted, 1 file not converted\n",
     1},
    {"destination that is a file",
     [](const std::string& src, const std::string&) {
       WriteBmp(src + "/a.bmp", 3, 2);
       WriteBmp(src + "/b.bmp", 3, 2);
     },
     {"s={src}/*.bmp", "d={src}/a.bmp"},
     " 2 graphic files found\n\n a.bmp...Converting failed\n b.bmp...Converting failed\n",
     "xevra: the destination {src}/a.bmp is a file, not a folder; nothing can be saved in it\n"
     "xevra: {src}/a.bmp: the output folder {src}/a.bmp cannot be used: a file of that name "
     "is in the way\n"
     "xevra: {src}/b.bmp: the output folder {src}/a.bmp cannot be used: a file of that name "
     "is in the way\n"
     "xevra: 0 files converted, 2 files not converted\n",
     1},
    {"everything converted says nothing",
     [](const std::string& src, const std::string&) { WriteBmp(src + "/a.bmp", 3, 2); },
     {"s={src}/*.bmp", "d={out}", "-q", "90"},
     " 1 graphic files found\n\n a.bmp....Ready\n",
     "xevra: \"-q\" has no number right after -q, so the JPEG quality stays as it was; write "
     "the number right after the switch, as in -q90\n",
     0},
    {"a mask that matches nothing, and hints",
     [](const std::string& src, const std::string&) { WriteBmp(src + "/a.bmp", 3, 2); },
     {"s={src}/*.bpm", "-w", "-q=85", "--help", "-help", "-cd=8", "bogus"},
     " 0 graphic files found\n\n",
     "xevra: \"-w\" has no number right after -w, so the width stays as it was; write the "
     "number right after the switch, as in -w800\n"
     "xevra: \"-q=85\" has no number right after -q, so the JPEG quality stays as it was; "
     "write the number right after the switch, as in -q85\n"
     "xevra: \"--help\" is read as the height switch -h without a number and does nothing; "
     "for help write '-?'\n"
     "xevra: \"-help\" is read as the height switch -h without a number and does nothing; "
     "for help write '-?'\n"
     "xevra: \"-cd=8\" is read as the destination \"d=8\", from the key d= inside it; for a "
     "colour depth write -cd8\n"
     "xevra: \"bogus\" holds no key and is ignored; a source is named as \"s=folder/*.jpg\", "
     "and '-?' shows the help\n"
     "xevra: no file matches \"*.bpm\" in {src}\n",
     0},
    {"a folder without s=",
     [](const std::string&, const std::string&) {},
     {"{src}"},
     " 0 graphic files found\n\n",
     "xevra: \"{src}\" holds no key and is ignored; to convert the files of that folder write "
     "\"s={src}/*.*\"\n"
     "xevra: nothing was looked for: no source was given; name one as \"s=folder/*.jpg\"\n",
     0},
    {"a folder as the mask, with -sf",
     [](const std::string& src, const std::string&) { WriteBmp(src + "/a.bmp", 3, 2); },
     {"s={src}", "-sf"},
     " 0 graphic files found\n\n",
     "xevra: \"s={src}\" looks for files named \"src\", not in that folder; to convert the "
     "files of the folder write \"s={src}/*.*\"\n"
     "xevra: no file matches \"src\" in {dir} or below it\n",
     0},
    {"a source folder that is missing",
     [](const std::string&, const std::string&) {},
     {"s={dir}/nowhere/*.*"},
     " 0 graphic files found\n\n",
     "xevra: no file was found: the source folder \"{dir}/nowhere\" cannot be entered\n",
     0},
};

TEST_F(Convert, TellsWhyOnStandardError) {
  for (const ToldCase& c : kToldCases) {
    SCOPED_TRACE(c.label);
    if (c.format != nullptr && FindSourceFormat(c.format) == nullptr) continue;
    TempDir dir;
    fs::create_directory(dir / "src");
    fs::create_directory(dir / "out");
    c.setup(dir / "src", dir / "out");
    std::vector<std::string> args;
    for (const std::string& arg : c.args) args.push_back(Expand(arg, dir.path()));
    ProcessResult r = Run(args);
    EXPECT_EQ(r.out, c.out) << "standard output is as it always was";
    EXPECT_EQ(r.err, Expand(c.err, dir.path()));
    EXPECT_EQ(r.exitCode, c.exitCode);
    chmod((dir / "out").c_str(), 0755);
  }
}

// The status line on a terminal: standard output and standard error share one, as in a
// console. The line is drawn below the cursor and erased before any other text, and none of
// it reaches standard error off a terminal.
TEST_F(Convert, StatusLineOnlyOnATerminal) {
  const std::string kDraw = "\033D\033M\0337\033D\r";
  const std::string kDrawEnd = "\033[K\0338";
  const std::string kErase = "\0337\033D\r\033[2K\0338";
  WriteBmp(src_ + "/a.bmp", 8, 6);
  WriteFile(src_ + "/b.bmp", "shopping list\n");
  WriteBmp(src_ + "/c.bmp", 5, 4);
  const std::string console =
      " 3 graphic files found\n\n a.bmp....Ready\n b.bmp.Loading failed\n"
      "xevra: " +
      src_ +
      "/b.bmp: not an image that xevra reads; it looks like text\n"
      " c.bmp....Ready\n"
      "xevra: 2 files converted, 1 file not converted\n";
  for (const char* jobs : {"-j1", "-j3"}) {
    SCOPED_TRACE(jobs);
    fs::remove_all(out_);
    ProcessLimits onTerminal;
    onTerminal.terminal = true;
    ProcessResult r =
        RunXevraBinary({"s=" + src_ + "/*.bmp", "d=" + out_, jobs}, "/", {}, onTerminal);
    EXPECT_EQ(r.exitCode, 1);
    std::string plain;  // the transcript less the status line's drawings and erasures
    std::vector<std::string> lines;
    bool shown = false;
    for (size_t at = 0; at < r.out.size();) {
      if (r.out.compare(at, kErase.size(), kErase) == 0) {
        EXPECT_TRUE(shown) << "only a status line on the screen is erased";
        shown = false;
        at += kErase.size();
      } else if (r.out.compare(at, kDraw.size(), kDraw) == 0) {
        size_t end = r.out.find(kDrawEnd, at);
        ASSERT_NE(end, std::string::npos) << "a status line is closed";
        lines.push_back(r.out.substr(at + kDraw.size(), end - at - kDraw.size()));
        shown = true;
        at = end + kDrawEnd.size();
      } else {
        ASSERT_FALSE(shown) << "text written while the status line is up, at " << plain;
        plain += r.out[at++];
      }
    }
    EXPECT_FALSE(shown) << "the status line is erased at the end";
    EXPECT_EQ(plain, console);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(), "[0/3 files   0%  0:00 elapsed]");
    for (const std::string& line : lines) {
      EXPECT_EQ(line.find_first_of("\n\r\x1b"), std::string::npos) << line;
    }
  }
  ProcessResult r = Run({"s=" + src_ + "/*.bmp", "d=" + out_, "-ov"});
  EXPECT_EQ(r.err, "xevra: " + src_ +
                       "/b.bmp: not an image that xevra reads; it looks like text\n"
                       "xevra: 2 files converted, 1 file not converted\n")
      << "no status line off a terminal";
}

}  // namespace
