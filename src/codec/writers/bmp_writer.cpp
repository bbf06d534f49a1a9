#include "codec/writers/bmp_writer.h"

#include <cstdint>
#include <cstdio>
#include <vector>

#include "codec/io/bytes.h"
#include "codec/io/output_file.h"

namespace {

constexpr uint32_t kFileHeaderBytes = 14;
constexpr uint32_t kInfoHeaderBytes = 40;
constexpr uint32_t kPixelsPerMetre = 2835;  // 72 dpi

}  // namespace

bool WriteBmp(RowSource& rows, const char* path) {
  int channels = rows.channels();
  if (channels != 1 && channels != 3) return false;
  uint64_t stride = (static_cast<uint64_t>(rows.width()) * 3 + 3) & ~3ull;
  uint64_t imageBytes = stride * static_cast<uint64_t>(rows.height());
  uint64_t fileBytes = kFileHeaderBytes + kInfoHeaderBytes + imageBytes;
  if (fileBytes > UINT32_MAX) return false;

  uint8_t header[kFileHeaderBytes + kInfoHeaderBytes] = {'B', 'M'};
  StoreLe32(header + 2, static_cast<uint32_t>(fileBytes));
  StoreLe32(header + 10, kFileHeaderBytes + kInfoHeaderBytes);
  uint8_t* info = header + kFileHeaderBytes;
  StoreLe32(info, kInfoHeaderBytes);
  StoreLe32(info + 4, static_cast<uint32_t>(rows.width()));
  StoreLe32(info + 8, static_cast<uint32_t>(rows.height()));  // positive: bottom-up
  StoreLe16(info + 12, 1);
  StoreLe16(info + 14, 24);
  StoreLe32(info + 20, static_cast<uint32_t>(imageBytes));
  StoreLe32(info + 24, kPixelsPerMetre);
  StoreLe32(info + 28, kPixelsPerMetre);

  std::unique_ptr<OutputFile> file = OutputFile::Create(path);
  if (!file) return false;
  FILE* out = file->stream();
  if (std::fwrite(header, sizeof header, 1, out) != 1) return false;
  std::vector<uint8_t> line(stride, 0);
  size_t width = static_cast<size_t>(rows.width());
  for (int y = 0; y < rows.height(); ++y) {
    const uint8_t* row = rows.NextRow();
    if (row == nullptr) return false;
    if (channels == 3) {
      for (size_t x = 0; x < width; ++x) {
        line[3 * x] = row[3 * x + 2];
        line[3 * x + 1] = row[3 * x + 1];
        line[3 * x + 2] = row[3 * x];
      }
    } else {
      for (size_t x = 0; x < width; ++x) line[3 * x] = line[3 * x + 1] = line[3 * x + 2] = row[x];
    }
    uint64_t offset = sizeof header + stride * static_cast<uint64_t>(rows.height() - 1 - y);
    if (fseeko(out, static_cast<off_t>(offset), SEEK_SET) != 0 ||
        std::fwrite(line.data(), line.size(), 1, out) != 1) {
      return false;
    }
  }
  return file->Close();
}
