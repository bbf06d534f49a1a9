// The contract every source format of the registry keeps, run once per format: its sniffer
// knows its own sample from the others', pages and geometry are told right, reading in bands
// of any height equals reading whole, a page can be restarted, pages read in any order equal
// those of fresh decoders, misuse is refused; the shared corpus of that format converts
// (valid) or fails cleanly (corrupt), and the fuzzer's kept inputs reach exactly the step
// their names record.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "codec/decode_page.h"
#include "codec/format_samples.h"
#include "codec/formats/registry.h"
#include "codec/image_interface.h"

namespace {

namespace fs = std::filesystem;

const fs::path kCorpus = fs::path(XEVRA_SOURCE_DIR) / ".." / "shared" / "corpus";
const fs::path kFuzzInputs = fs::path(XEVRA_SOURCE_DIR) / "tests" / "data" / "fuzz";
const fs::path kExpectedFailures =
    fs::path(XEVRA_SOURCE_DIR) / "tests" / "codec" / "corpus_expected_failures.txt";
constexpr int kMaxPages = 50;

std::vector<std::string> RegistryNames() {
  std::vector<std::string> names;
  for (const SourceFormat& format : SourceFormats()) names.push_back(format.name);
  return names;
}

std::vector<uint8_t> Head(const fs::path& path) {
  std::vector<uint8_t> head(kSniffBytes);
  std::ifstream in(path, std::ios::binary);
  in.read(reinterpret_cast<char*>(head.data()), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<size_t>(in.gcount()));
  return head;
}

class DecoderContract : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    format_ = FindSourceFormat(GetParam());
    ASSERT_NE(format_, nullptr);
    char pattern[] = "/tmp/xevra_contract_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override {
    if (!dir_.empty()) fs::remove_all(dir_);
  }

  // Returns the path of format's sample, written on first use.
  fs::path Sample(const std::string& name) {
    fs::path path = dir_ / ("sample." + name);
    if (!fs::exists(path)) {
      auto found = FormatSamples().find(name);
      EXPECT_NE(found, FormatSamples().end()) << "no sample writer for " << name;
      if (found != FormatSamples().end()) found->second.write(path.string());
    }
    return path;
  }
  int SamplePages() { return FormatSamples()[GetParam()].pages; }

  const SourceFormat* format_ = nullptr;
  fs::path dir_;
};

TEST_P(DecoderContract, SniffsItsOwnSampleAndNoOther) {
  for (const std::string& other : RegistryNames()) {
    std::vector<uint8_t> head = Head(Sample(other));
    auto shares = [](const std::string& a, const std::string& b) {
      const char* with = FormatSamples()[a].sharesHeadersWith;
      return with != nullptr && b == with;
    };
    const bool expected =
        other == GetParam() || shares(other, GetParam()) || shares(GetParam(), other);
    EXPECT_EQ(format_->sniff(head.data(), head.size()), expected) << other;
  }
  EXPECT_FALSE(format_->sniff(nullptr, 0));
}

TEST_P(DecoderContract, TellsPagesAndGeometry) {
  Failure failure;
  auto decoder = OpenDecoder(Sample(GetParam()).c_str(), &failure);
  ASSERT_NE(decoder, nullptr);
  EXPECT_EQ(failure.kind, FailureKind::kNone);
  ASSERT_EQ(decoder->PageCount(), SamplePages());
  for (int page = 0; page < SamplePages(); ++page) {
    PageGeometry geometry;
    ASSERT_TRUE(decoder->Probe(page, &geometry));
    EXPECT_EQ(geometry.width, page == 0 ? FormatSamples()[GetParam()].width : kSampleWidth);
    EXPECT_EQ(geometry.height, page == 0 ? FormatSamples()[GetParam()].height : kSampleHeight);
    EXPECT_EQ(geometry.orientation, 1);
  }
}

TEST_P(DecoderContract, BandsOfAnyHeightEqualTheWholePage) {
  auto decoder = OpenDecoder(Sample(GetParam()).c_str());
  ASSERT_NE(decoder, nullptr);
  for (int page = 0; page < SamplePages(); ++page) {
    DecodedPage whole;
    ASSERT_EQ(DecodePage(decoder.get(), page, {}, 0, &whole), DecodeStage::kDone);
    EXPECT_EQ(whole.width, page == 0 ? FormatSamples()[GetParam()].width : kSampleWidth);
    EXPECT_EQ(whole.height, page == 0 ? FormatSamples()[GetParam()].height : kSampleHeight);
    for (int band : {1, 2, 5, 16, kSampleHeight + 3}) {
      DecodedPage banded;
      ASSERT_EQ(DecodePage(decoder.get(), page, {}, band, &banded), DecodeStage::kDone) << band;
      EXPECT_EQ(banded.pixels, whole.pixels) << "page " << page << ", bands of " << band;
    }
  }
}

TEST_P(DecoderContract, RestartsAPageHalfRead) {
  auto decoder = OpenDecoder(Sample(GetParam()).c_str());
  ASSERT_NE(decoder, nullptr);
  DecodedPage first;
  ASSERT_EQ(DecodePage(decoder.get(), 0, {}, 0, &first), DecodeStage::kDone);
  PageInfo info;
  ASSERT_TRUE(decoder->StartPage(0, {}, &info));
  std::vector<uint8_t> rows(static_cast<size_t>(info.width) * ChannelCount(info.layout) * 3);
  ASSERT_TRUE(decoder->ReadRows(rows.data(), rows.size() / 3, 3));
  DecodedPage again;
  ASSERT_EQ(DecodePage(decoder.get(), 0, {}, 4, &again), DecodeStage::kDone);
  EXPECT_EQ(again.pixels, first.pixels);
}

// A file split page by page is read by one decoder for all its pages: each page, probed then
// read as a save does, in any order, equals that page from a decoder of its own.
TEST_P(DecoderContract, PagesInAnyOrderEqualThoseOfFreshDecoders) {
  auto decoder = OpenDecoder(Sample(GetParam()).c_str());
  ASSERT_NE(decoder, nullptr);
  std::vector<int> order;
  for (int page = 0; page < SamplePages(); ++page) order.push_back(page);
  for (int page = SamplePages() - 1; page >= 0; --page) order.push_back(page);
  order.push_back(SamplePages() - 1);
  for (int page : order) {
    auto fresh = OpenDecoder(Sample(GetParam()).c_str());
    ASSERT_NE(fresh, nullptr);
    DecodedPage expected, got;
    ASSERT_EQ(DecodePage(fresh.get(), page, {}, 0, &expected), DecodeStage::kDone);
    PageGeometry geometry;
    ASSERT_TRUE(decoder->Probe(page, &geometry));
    ASSERT_EQ(DecodePage(decoder.get(), page, {}, 5, &got), DecodeStage::kDone);
    EXPECT_EQ(got.layout, expected.layout) << "page " << page;
    EXPECT_EQ(got.pixels, expected.pixels) << "page " << page;
    EXPECT_EQ(got.icc, expected.icc) << "page " << page;
  }
}

TEST_P(DecoderContract, RefusesMisuse) {
  auto decoder = OpenDecoder(Sample(GetParam()).c_str());
  ASSERT_NE(decoder, nullptr);
  std::vector<uint8_t> row(kSampleWidth * 4);
  EXPECT_FALSE(decoder->ReadRows(row.data(), row.size(), 1)) << "rows before any page";
  PageInfo info;
  PageGeometry geometry;
  EXPECT_FALSE(decoder->StartPage(SamplePages(), {}, &info));
  EXPECT_FALSE(decoder->StartPage(-1, {}, &info));
  EXPECT_FALSE(decoder->Probe(SamplePages(), &geometry));
  // A started page yields no rows past its end.
  ASSERT_TRUE(decoder->StartPage(0, {}, &info));
  std::vector<uint8_t> all(static_cast<size_t>(info.width) * ChannelCount(info.layout) *
                           (info.height + 1));
  EXPECT_FALSE(decoder->ReadRows(all.data(), all.size() / (info.height + 1), info.height + 1));
}

// How far a file gets: "refused", "fails-start", "fails-rows" or "decodes", over its pages (at
// most kMaxPages), read in bands of 3 rows.
std::string Outcome(const fs::path& path) {
  auto decoder = OpenDecoder(path.c_str());
  if (!decoder) return "refused";
  for (int page = 0; page < std::min(decoder->PageCount(), kMaxPages); ++page) {
    DecodedPage out;
    switch (DecodePage(decoder.get(), page, {}, 3, &out)) {
      case DecodeStage::kOpen:
        return "refused";
      case DecodeStage::kStart:
        return "fails-start";
      case DecodeStage::kRead:
        return "fails-rows";
      case DecodeStage::kDone:
        break;
    }
  }
  return "decodes";
}

TEST_P(DecoderContract, FuzzFindingsReachTheStepTheirNamesRecord) {
  const fs::path folder = kFuzzInputs / GetParam();
  if (!fs::is_directory(folder)) return;  // nothing kept for this format
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    const std::string outcome = Outcome(entry.path());
    EXPECT_EQ(name.substr(0, outcome.size() + 1), outcome + "-") << name;
  }
}

INSTANTIATE_TEST_SUITE_P(Formats, DecoderContract, ::testing::ValuesIn(RegistryNames()),
                         [](const auto& param) { return param.param; });

// The shared corpus, one ctest case per format (label "corpus"): its valid/<format> and
// corrupt/<format> folders, and next/valid/<format> and next/corrupt/<format> where the formats
// read since the corpus was first gathered keep their files.

std::set<std::string> ExpectedFailures() {
  std::set<std::string> listed;
  std::ifstream in(kExpectedFailures);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line[0] != '#') listed.insert(line);
  }
  return listed;
}

// MANIFEST rows: corpus-relative path -> {width, height}.
std::map<std::string, std::pair<std::string, std::string>> Manifest() {
  std::map<std::string, std::pair<std::string, std::string>> rows;
  std::ifstream in(kCorpus / "MANIFEST.tsv");
  for (std::string line; std::getline(in, line);) {
    std::vector<std::string> fields;
    std::stringstream ss(line);
    for (std::string field; std::getline(ss, field, '\t');) fields.push_back(field);
    if (fields.size() > 4) rows[fields[0]] = {fields[3], fields[4]};
  }
  return rows;
}

// Returns the corpus files of format in group ("valid" or "corrupt"): group/<format>/, and for
// HEIF the heic and avif folders under next/.
std::vector<std::string> CorpusFiles(const std::string& group, const std::string& format) {
  std::vector<std::string> files;
  // The formats read since the corpus was split keep their files under next/.
  std::vector<fs::path> roots = {kCorpus / group / format, kCorpus / "next" / group / format};
  if (format == "heif") {
    roots = {kCorpus / "next" / group / "heic", kCorpus / "next" / group / "avif"};
  }
  for (const fs::path& root : roots) {
    if (!fs::is_directory(root)) continue;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
      if (entry.is_regular_file()) files.push_back(fs::relative(entry.path(), kCorpus).string());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Returns true when the file loaded and its first page saved as a small JPEG.
bool Convert(const fs::path& source, const fs::path& out) {
  CImageInterface image;
  if (!image.Load(source.c_str())) {
    EXPECT_NE(image.LastFailure().kind, FailureKind::kNone) << source;
    return false;
  }
  _SAVEIMAGEINFO::_JPG info;
  InitSaveInfo(info);
  info.nWidth = 256;
  info.nHeight = 256;
  info.bProportional = 1;
  const bool saved = image.Save(out.c_str(), &info) != 0;
  if (!saved) {
    EXPECT_NE(image.LastFailure().kind, FailureKind::kNone) << source;
  }
  EXPECT_EQ(fs::exists(out), saved) << source;
  fs::remove(out);
  return saved;
}

// Formats whose first page is as large as the manifest's width and height (a GIF's manifest
// size is its largest frame's, not its screen's; HEIF's is after its crop and rotation).
const std::set<std::string> kManifestSized = {"bmp", "heif", "ico", "jpeg", "png",  "pnm",
                                              "psd", "qoi",  "raw", "tga",  "tiff", "webp"};

class CorpusContract : public DecoderContract {};

TEST_P(CorpusContract, ValidFilesConvertAndCorruptOnesFailCleanly) {
  if (!fs::is_directory(kCorpus)) GTEST_SKIP() << "no corpus at " << kCorpus;
  const std::set<std::string> listed = ExpectedFailures();
  const auto manifest = Manifest();
  const fs::path out = dir_ / "out.jpg";
  int failed = 0;
  std::vector<std::string> valid = CorpusFiles("valid", GetParam());
  for (const std::string& file : valid) {
    SCOPED_TRACE(file);
    const bool expectedToFail = listed.count(file) != 0;
    const bool converted = Convert(kCorpus / file, out);
    failed += !converted;
    if (expectedToFail) {
      if (converted) std::cout << "[ corpus   ] listed but now converts: " << file << "\n";
      continue;
    }
    EXPECT_TRUE(converted) << "does not convert";
    // Every page decodes, and the first is as large as the manifest says where it tells.
    auto decoder = OpenDecoder((kCorpus / file).c_str());
    ASSERT_NE(decoder, nullptr);
    for (int page = 0; page < std::min(decoder->PageCount(), kMaxPages); ++page) {
      DecodedPage decoded;
      EXPECT_EQ(DecodePage(decoder.get(), page, {}, 64, &decoded), DecodeStage::kDone)
          << "page " << page;
      auto row = manifest.find(file);
      if (page == 0 && kManifestSized.count(GetParam()) && row != manifest.end() &&
          !row->second.first.empty()) {
        EXPECT_EQ(std::to_string(decoded.width), row->second.first);
        EXPECT_EQ(std::to_string(decoded.height), row->second.second);
      }
    }
  }
  int corruptConverted = 0;
  std::vector<std::string> corrupt = CorpusFiles("corrupt", GetParam());
  for (const std::string& file : corrupt) {
    SCOPED_TRACE(file);
    corruptConverted += Convert(kCorpus / file, out);
    Outcome(kCorpus / file);  // every page read: the sanitizers watch
  }
  std::cout << "[ corpus   ] " << GetParam() << ": " << valid.size() << " valid, " << failed
            << " not converted; " << corrupt.size() << " corrupt, " << corruptConverted
            << " still converted (allowed)\n";
}

INSTANTIATE_TEST_SUITE_P(Formats, CorpusContract, ::testing::ValuesIn(RegistryNames()),
                         [](const auto& param) { return param.param; });

}  // namespace
