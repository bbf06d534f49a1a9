#include "codec/writers/jpeg_writer.h"

#include <jpeglib.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>

#include "codec/io/output_file.h"

namespace {

constexpr long long kOptimizeCodingMaxPixels = 16LL * 1000 * 1000;
constexpr int kFullChromaQuality = 90;
constexpr size_t kMaxMarkerBytes = 65533;
// An ICC profile travels in at most 255 APP2 chunks of 65,519 bytes each.
constexpr size_t kMaxIccBytes = 255u * 65519u;

struct ErrorManager {
  jpeg_error_mgr pub;
  jmp_buf jump;
};

void ErrorExit(j_common_ptr cinfo) {
  longjmp(reinterpret_cast<ErrorManager*>(cinfo->err)->jump, 1);
}

void OutputMessage(j_common_ptr) {}

struct Markers {
  const uint8_t* icc;
  unsigned iccLength;
  const uint8_t* app1;
  unsigned app1Length;
};

// Owns the compress struct; no object with a destructor lives in this frame.
bool Compress(FILE* out, RowSource* rows, int quality, const Markers* markers) {
  jpeg_compress_struct cinfo;
  ErrorManager err;
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = ErrorExit;
  err.pub.output_message = OutputMessage;
  if (setjmp(err.jump)) {
    jpeg_destroy_compress(&cinfo);
    return false;
  }
  jpeg_create_compress(&cinfo);
  jpeg_stdio_dest(&cinfo, out);
  cinfo.image_width = static_cast<JDIMENSION>(rows->width());
  cinfo.image_height = static_cast<JDIMENSION>(rows->height());
  bool gray = rows->channels() == 1;
  cinfo.input_components = gray ? 1 : 3;
  cinfo.in_color_space = gray ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, quality, TRUE);
  if (!gray && quality >= kFullChromaQuality) {
    cinfo.comp_info[0].h_samp_factor = 1;
    cinfo.comp_info[0].v_samp_factor = 1;
  }
  cinfo.optimize_coding =
      static_cast<long long>(rows->width()) * rows->height() <= kOptimizeCodingMaxPixels ? TRUE
                                                                                         : FALSE;
  if (markers->app1Length > 0) cinfo.write_JFIF_header = FALSE;
  jpeg_start_compress(&cinfo, TRUE);
  if (markers->app1Length > 0) {
    jpeg_write_marker(&cinfo, JPEG_APP0 + 1, markers->app1, markers->app1Length);
  }
  if (markers->iccLength > 0) jpeg_write_icc_profile(&cinfo, markers->icc, markers->iccLength);
  while (cinfo.next_scanline < cinfo.image_height) {
    const uint8_t* row = rows->NextRow();
    if (row == nullptr) {
      jpeg_destroy_compress(&cinfo);
      return false;
    }
    JSAMPROW sample = const_cast<JSAMPROW>(row);
    jpeg_write_scanlines(&cinfo, &sample, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  return true;
}

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
  if (!Compress(file->stream(), &rows, quality, &markers)) return false;
  return file->Close();
}
