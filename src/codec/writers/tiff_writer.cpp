#include "codec/writers/tiff_writer.h"

#include <fcntl.h>
#include <tiffio.h>
#include <unistd.h>

#include <memory>
#include <vector>

#include "codec/io/tiff_handle.h"
#include "platform/long_path.h"

namespace {

constexpr uint32_t kStripBytesTarget = 64 * 1024;
// Every output is 8-bit RGB; gray rows are widened.
constexpr uint32_t kSamplesPerPixel = 3;

}  // namespace

bool WriteTiff(RowSource& rows, const char* path, const TiffWriteOptions& options) {
  int channels = rows.channels();
  if (channels != 1 && channels != 3) return false;
  TiffOpenOptionsPtr openOptions(TIFFOpenOptionsAlloc());
  if (!openOptions) return false;
  TIFFOpenOptionsSetErrorHandlerExtR(openOptions.get(), TiffSwallowMessage, nullptr);
  TIFFOpenOptionsSetWarningHandlerExtR(openOptions.get(), TiffSwallowMessage, nullptr);
  // Opened here rather than by libtiff, whose open takes no path longer than one system call.
  int fd = OpenForWriting(path, O_RDWR | O_TRUNC | O_CLOEXEC);
  if (fd < 0) return false;
  TiffPtr tif(TIFFFdOpenExt(fd, path, "w", openOptions.get()));
  if (!tif) {
    close(fd);
    return false;
  }
  TIFF* t = tif.get();
  uint32_t width = static_cast<uint32_t>(rows.width());
  uint32_t rowBytes = width * kSamplesPerPixel;
  uint32_t rowsPerStrip = rowBytes >= kStripBytesTarget ? 1 : kStripBytesTarget / rowBytes;
  bool ok = TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width) &&
            TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(rows.height())) &&
            TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8) &&
            TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, kSamplesPerPixel) &&
            TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB) &&
            TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
            TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE) &&
            TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) &&
            TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rowsPerStrip);
  if (ok && options.horizontalPredictor)
    ok = TIFFSetField(t, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
  if (ok && !options.description.empty()) {
    ok = TIFFSetField(t, TIFFTAG_IMAGEDESCRIPTION, options.description.c_str());
  }
  if (ok && !options.software.empty())
    ok = TIFFSetField(t, TIFFTAG_SOFTWARE, options.software.c_str());
  if (!ok) return false;
  std::vector<uint8_t> line(rowBytes);
  for (int y = 0; y < rows.height(); ++y) {
    const uint8_t* row = rows.NextRow();
    if (row == nullptr) return false;
    const uint8_t* rgb = row;
    if (channels == 1) {
      for (uint32_t x = 0; x < width; ++x) line[3 * x] = line[3 * x + 1] = line[3 * x + 2] = row[x];
      rgb = line.data();
    } else {
      std::copy(row, row + rowBytes, line.begin());  // libtiff may alter the buffer it is given
      rgb = line.data();
    }
    if (TIFFWriteScanline(t, const_cast<uint8_t*>(rgb), static_cast<uint32_t>(y), 0) != 1) {
      return false;
    }
  }
  if (!TIFFWriteDirectory(t)) return false;
  TIFF* raw = tif.release();
  // TIFFClose reports nothing; flushing first catches late write errors.
  bool flushed = TIFFFlush(raw) == 1;
  TIFFClose(raw);
  return flushed;
}
