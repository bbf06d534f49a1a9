#include "codec/writers/jpeg_writer.h"

#include <cstdio>
// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

#include <csetjmp>
#include <cstring>

#include "codec/io/output_file.h"

namespace {

constexpr long long kOptimizeCodingMaxPixels = 16LL * 1000 * 1000;
constexpr int kFullChromaQuality = 90;
constexpr size_t kMaxMarkerBytes = 65533;
// An ICC profile travels in at most 255 APP2 chunks of 65,519 bytes each.
constexpr size_t kMaxIccBytes = 255u * 65519u;

struct Markers {
  const uint8_t* icc;
  unsigned iccLength;
  const uint8_t* app1;
  unsigned app1Length;
};

// libjpeg's compressor behind calls that return false instead of long-jumping. Each call
// holds its own setjmp and runs nothing but libjpeg inside it; the caller pulls rows between
// calls, so an exception from a stage unwinds through C++ frames only, and the destructor
// frees libjpeg's memory however the save ends.
class JpegCompressor {
 public:
  JpegCompressor() {
    cinfo_.err = jpeg_std_error(&err_.pub);
    err_.pub.error_exit = ErrorExit;
    err_.pub.output_message = OutputMessage;
    created_ = Create();
  }
  ~JpegCompressor() {
    if (created_) jpeg_destroy_compress(&cinfo_);
  }
  JpegCompressor(const JpegCompressor&) = delete;
  JpegCompressor& operator=(const JpegCompressor&) = delete;

  // Returns true when compression into out started and the markers were written; false on
  // any libjpeg error.
  bool Start(FILE* out, int width, int height, bool gray, int quality, const Markers& markers) {
    if (!created_ || setjmp(err_.jump)) return false;
    jpeg_stdio_dest(&cinfo_, out);
    cinfo_.image_width = static_cast<JDIMENSION>(width);
    cinfo_.image_height = static_cast<JDIMENSION>(height);
    cinfo_.input_components = gray ? 1 : 3;
    cinfo_.in_color_space = gray ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo_);
    jpeg_set_quality(&cinfo_, quality, TRUE);
    if (!gray && quality >= kFullChromaQuality) {
      cinfo_.comp_info[0].h_samp_factor = 1;
      cinfo_.comp_info[0].v_samp_factor = 1;
    }
    cinfo_.optimize_coding =
        static_cast<long long>(width) * height <= kOptimizeCodingMaxPixels ? TRUE : FALSE;
    if (markers.app1Length > 0) cinfo_.write_JFIF_header = FALSE;
    jpeg_start_compress(&cinfo_, TRUE);
    if (markers.app1Length > 0) {
      jpeg_write_marker(&cinfo_, JPEG_APP0 + 1, markers.app1, markers.app1Length);
    }
    if (markers.iccLength > 0) jpeg_write_icc_profile(&cinfo_, markers.icc, markers.iccLength);
    return true;
  }

  // Returns true when row was compressed; false on a libjpeg error.
  bool WriteRow(const uint8_t* row) {
    if (setjmp(err_.jump)) return false;
    JSAMPROW sample = const_cast<JSAMPROW>(row);
    jpeg_write_scanlines(&cinfo_, &sample, 1);
    return true;
  }

  // Returns true when the stream was completed; false on a libjpeg error.
  bool Finish() {
    if (setjmp(err_.jump)) return false;
    jpeg_finish_compress(&cinfo_);
    return true;
  }

 private:
  struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
  };

  static void ErrorExit(j_common_ptr cinfo) {
    std::longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1);
  }
  static void OutputMessage(j_common_ptr) {}

  bool Create() {
    if (setjmp(err_.jump)) return false;
    jpeg_create_compress(&cinfo_);
    return true;
  }

  jpeg_compress_struct cinfo_;
  ErrorManager err_;
  bool created_ = false;
};

}  // namespace

bool WriteJpeg(RowSource& rows, const char* path, const JpegWriteOptions& options) {
  if (rows.channels() != 1 && rows.channels() != 3) return false;
  std::vector<uint8_t> app1;
  if (!options.exif.empty() && options.exif.size() + 6 <= kMaxMarkerBytes) {
    static const uint8_t kExifId[6] = {'E', 'x', 'i', 'f', 0, 0};
    app1.assign(kExifId, kExifId + 6);
    app1.insert(app1.end(), options.exif.begin(), options.exif.end());
  }
  unsigned iccLength =
      options.icc.size() <= kMaxIccBytes ? static_cast<unsigned>(options.icc.size()) : 0;
  Markers markers{options.icc.data(), iccLength, app1.data(), static_cast<unsigned>(app1.size())};
  int quality = options.quality < 1 ? 1 : options.quality > 100 ? 100 : options.quality;
  std::unique_ptr<OutputFile> file = OutputFile::Create(path);
  if (!file) return false;
  JpegCompressor compressor;
  if (!compressor.Start(file->stream(), rows.width(), rows.height(), rows.channels() == 1, quality,
                        markers)) {
    return false;
  }
  for (int y = 0; y < rows.height(); ++y) {
    const uint8_t* row = rows.NextRow();
    if (row == nullptr || !compressor.WriteRow(row)) return false;
  }
  if (!compressor.Finish()) return false;
  return file->Close();
}
