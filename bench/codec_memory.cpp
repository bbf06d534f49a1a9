// Memory benchmark of the codec: makes a large image per source format with the codec's own
// writers (PNG with libspng, PSD and TGA byte by byte), and converts one to JPEG in a fresh process,
// printing the process's peak resident size.
//   codec_memory make <bmp|jpeg|tiff|png|psd|tga> <path> <width> <height>
//   codec_memory convert <source> <target.jpg> [width]
#include <spng.h>
#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "codec/formats/registry.h"
#include "codec/image_interface.h"
#include "codec/pipeline/row_source.h"
#include "codec/writers/bmp_writer.h"
#include "codec/writers/jpeg_writer.h"
#include "codec/writers/tiff_writer.h"

namespace {

// A smooth colour pattern with some detail, generated one row at a time.
class PatternSource : public RowSource {
 public:
  PatternSource(int width, int height) : RowSource(width, height, 3), row_(rowBytes()) {}
  const uint8_t* NextRow() override {
    if (y_ >= height()) return nullptr;
    for (int x = 0; x < width(); ++x) {
      row_[3 * x] = static_cast<uint8_t>(x * 255 / width());
      row_[3 * x + 1] = static_cast<uint8_t>(y_ * 255 / height());
      row_[3 * x + 2] = static_cast<uint8_t>(((x / 8 + y_ / 8) % 2) * 64 + (x ^ y_) % 64);
    }
    ++y_;
    return row_.data();
  }

 private:
  std::vector<uint8_t> row_;
  int y_ = 0;
};

struct SpngFree {
  void operator()(spng_ctx* ctx) const { spng_ctx_free(ctx); }
};
struct FileClose {
  void operator()(FILE* f) const { std::fclose(f); }
};

bool WritePng(RowSource& rows, const char* path) {
  std::unique_ptr<FILE, FileClose> file(std::fopen(path, "wb"));
  std::unique_ptr<spng_ctx, SpngFree> ctx(spng_ctx_new(SPNG_CTX_ENCODER));
  if (!file || !ctx || spng_set_png_file(ctx.get(), file.get()) != 0) return false;
  spng_ihdr ihdr = {};
  ihdr.width = static_cast<uint32_t>(rows.width());
  ihdr.height = static_cast<uint32_t>(rows.height());
  ihdr.bit_depth = 8;
  ihdr.color_type = SPNG_COLOR_TYPE_TRUECOLOR;
  if (spng_set_ihdr(ctx.get(), &ihdr) != 0) return false;
  if (spng_encode_image(ctx.get(), nullptr, 0, SPNG_FMT_PNG,
                        SPNG_ENCODE_PROGRESSIVE | SPNG_ENCODE_FINALIZE) != 0) {
    return false;
  }
  for (int y = 0; y < rows.height(); ++y) {
    const uint8_t* row = rows.NextRow();
    int rc = row ? spng_encode_row(ctx.get(), row, rows.rowBytes()) : -1;
    if (rc != 0 && !(rc == SPNG_EOI && y == rows.height() - 1)) return false;
  }
  return true;
}

// A run-length TGA stored bottom up (its picture comes out upside down: only memory counts
// here), so the decoder indexes its rows and reads them last stored first.
bool WriteTga(RowSource& rows, const char* path) {
  std::unique_ptr<FILE, FileClose> file(std::fopen(path, "wb"));
  if (!file) return false;
  const uint8_t header[18] = {0,
                              0,
                              10,
                              0,
                              0,
                              0,
                              0,
                              0,
                              0,
                              0,
                              0,
                              0,
                              static_cast<uint8_t>(rows.width()),
                              static_cast<uint8_t>(rows.width() >> 8),
                              static_cast<uint8_t>(rows.height()),
                              static_cast<uint8_t>(rows.height() >> 8),
                              24,
                              0};
  if (std::fwrite(header, 1, sizeof header, file.get()) != sizeof header) return false;
  std::vector<uint8_t> packet;
  for (int y = 0; y < rows.height(); ++y) {
    const uint8_t* row = rows.NextRow();
    if (row == nullptr) return false;
    for (int x = 0; x < rows.width(); x += 128) {
      const int count = std::min(128, rows.width() - x);
      packet.assign(1, static_cast<uint8_t>(count - 1));
      for (int i = x; i < x + count; ++i)
        packet.insert(packet.end(), {row[3 * i + 2], row[3 * i + 1], row[3 * i]});
      if (std::fwrite(packet.data(), 1, packet.size(), file.get()) != packet.size()) return false;
    }
  }
  return true;
}

// An RGB Photoshop document with a raw merged image: each row's three channels go to their
// own planes, so one pass over the rows writes the planar data.
bool WritePsd(RowSource& rows, const char* path) {
  std::unique_ptr<FILE, FileClose> file(std::fopen(path, "wb"));
  if (!file) return false;
  const auto be = [](uint32_t v, int bytes) {
    std::string s;
    for (int i = bytes - 1; i >= 0; --i) s.push_back(static_cast<char>(v >> (8 * i)));
    return s;
  };
  const uint32_t width = static_cast<uint32_t>(rows.width());
  const uint32_t height = static_cast<uint32_t>(rows.height());
  const std::string header = "8BPS" + be(1, 2) + std::string(6, '\0') + be(3, 2) + be(height, 4) +
                             be(width, 4) + be(8, 2) + be(3, 2) + std::string(12, '\0') + be(0, 2);
  if (std::fwrite(header.data(), 1, header.size(), file.get()) != header.size()) return false;
  std::vector<uint8_t> plane(width);
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t* row = rows.NextRow();
    if (row == nullptr) return false;
    for (uint32_t c = 0; c < 3; ++c) {
      for (uint32_t x = 0; x < width; ++x) plane[x] = row[3 * x + c];
      const uint64_t offset = header.size() + (static_cast<uint64_t>(c) * height + y) * width;
      if (fseeko(file.get(), static_cast<off_t>(offset), SEEK_SET) != 0 ||
          std::fwrite(plane.data(), 1, width, file.get()) != width) {
        return false;
      }
    }
  }
  return std::fclose(file.release()) == 0;
}

long PeakRssKb() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss;
}

// The source formats this benchmark can write a large sample of.
struct SampleWriter {
  const char* format;
  bool (*write)(RowSource& rows, const char* path);
};
const SampleWriter kWriters[] = {
    {"bmp", [](RowSource& rows, const char* path) { return WriteBmp(rows, path); }},
    {"jpeg", [](RowSource& rows, const char* path) { return WriteJpeg(rows, path, {}); }},
    {"tiff", [](RowSource& rows, const char* path) { return WriteTiff(rows, path, {}); }},
    {"png", WritePng},
    {"psd", WritePsd},
    {"tga", WriteTga},
};

// Prints the formats that the registry reads and this benchmark can write, one a line.
int ListFormats() {
  for (const SourceFormat& format : SourceFormats()) {
    for (const SampleWriter& writer : kWriters) {
      if (std::strcmp(writer.format, format.name) == 0) std::printf("%s\n", format.name);
    }
  }
  return 0;
}

int Make(const std::string& format, const char* path, int width, int height) {
  PatternSource rows(width, height);
  bool ok = false;
  for (const SampleWriter& writer : kWriters) {
    if (format == writer.format) ok = writer.write(rows, path);
  }
  if (!ok) std::fprintf(stderr, "could not make %s\n", path);
  return ok ? 0 : 1;
}

int Convert(const char* source, const char* target, int width) {
  CImageInterface image;
  if (!image.Load(source)) {
    std::fprintf(stderr, "cannot load %s\n", source);
    return 1;
  }
  _SAVEIMAGEINFO::_JPG info;
  InitSaveInfo(info);
  if (width > 0) {
    info.nWidth = width;
    info.bProportional = 1;
  }
  if (!image.Save(target, &info)) {
    std::fprintf(stderr, "cannot convert %s\n", source);
    return 1;
  }
  std::printf("%ld\n", PeakRssKb());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "formats") == 0) return ListFormats();
  if (argc == 6 && std::strcmp(argv[1], "make") == 0) {
    return Make(argv[2], argv[3], std::atoi(argv[4]), std::atoi(argv[5]));
  }
  if ((argc == 4 || argc == 5) && std::strcmp(argv[1], "convert") == 0) {
    return Convert(argv[2], argv[3], argc == 5 ? std::atoi(argv[4]) : 0);
  }
  std::fprintf(stderr,
               "usage: codec_memory formats\n"
               "       codec_memory make <format> <path> <w> <h>\n"
               "       codec_memory convert <source> <target.jpg> [width]\n");
  return 2;
}
