#include "codec/read_back.h"

#include <gif_lib.h>
#include <jpeglib.h>
#include <tiffio.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

#include "codec/io/bytes.h"

namespace {

struct JpegError {
  jpeg_error_mgr pub;
  jmp_buf jump;
};

void JpegErrorExit(j_common_ptr cinfo) {
  longjmp(reinterpret_cast<JpegError*>(cinfo->err)->jump, 1);
}
void JpegSilent(j_common_ptr) {}

bool DecodeJpeg(FILE* file, ReadBack* out) {
  jpeg_decompress_struct cinfo;
  JpegError err;
  cinfo.err = jpeg_std_error(&err.pub);
  err.pub.error_exit = JpegErrorExit;
  err.pub.output_message = JpegSilent;
  if (setjmp(err.jump)) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  jpeg_stdio_src(&cinfo, file);
  jpeg_save_markers(&cinfo, JPEG_APP0 + 1, 0xFFFF);
  jpeg_save_markers(&cinfo, JPEG_APP0 + 2, 0xFFFF);
  jpeg_read_header(&cinfo, TRUE);
  out->lumaSampling = cinfo.comp_info[0].h_samp_factor;
  JOCTET* icc = nullptr;
  unsigned iccLength = 0;
  if (jpeg_read_icc_profile(&cinfo, &icc, &iccLength)) {
    out->icc.assign(icc, icc + iccLength);
    free(icc);
  }
  for (jpeg_saved_marker_ptr m = cinfo.marker_list; m != nullptr; m = m->next) {
    if (m->marker == JPEG_APP0 + 1 && m->data_length > 6 &&
        std::memcmp(m->data, "Exif\0\0", 6) == 0) {
      out->exif.assign(m->data + 6, m->data + m->data_length);
    }
  }
  jpeg_start_decompress(&cinfo);
  out->width = static_cast<int>(cinfo.output_width);
  out->height = static_cast<int>(cinfo.output_height);
  out->channels = cinfo.output_components;
  out->pixels.resize(static_cast<size_t>(out->width) * out->height * out->channels);
  while (cinfo.output_scanline < cinfo.output_height) {
    JSAMPROW row =
        &out->pixels[static_cast<size_t>(cinfo.output_scanline) * out->width * out->channels];
    jpeg_read_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

}  // namespace

bool ReadJpeg(const std::string& path, ReadBack* out) {
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  bool ok = DecodeJpeg(file, out);
  std::fclose(file);
  return ok;
}

bool ReadBmp(const std::string& path, ReadBack* out) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (b.size() < 54 || b[0] != 'B' || b[1] != 'M' || LoadLe32(&b[2]) != b.size()) return false;
  if (LoadLe32(&b[14]) != 40 || LoadLe16(&b[28]) != 24 || LoadLe32(&b[30]) != 0) return false;
  int32_t height = static_cast<int32_t>(LoadLe32(&b[22]));
  if (height <= 0) return false;
  out->width = static_cast<int>(LoadLe32(&b[18]));
  out->height = height;
  out->channels = 3;
  size_t stride = (static_cast<size_t>(out->width) * 3 + 3) & ~size_t{3};
  size_t offset = LoadLe32(&b[10]);
  if (offset + stride * out->height != b.size()) return false;
  for (int y = 0; y < out->height; ++y) {
    size_t row = offset + stride * (out->height - 1 - y);
    for (int x = 0; x < out->width; ++x) {
      for (int c = 2; c >= 0; --c) out->pixels.push_back(b[row + 3 * x + c]);
    }
  }
  return true;
}

bool ReadTiff(const std::string& path, ReadBack* out) {
  TIFF* tif = TIFFOpen(path.c_str(), "r");
  if (tif == nullptr) return false;
  uint32_t w = 0, h = 0;
  uint16_t spp = 0, bps = 0, compression = 0;
  TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
  TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
  TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
  TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bps);
  TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
  bool ok = bps == 8 && spp >= 1 && TIFFNumberOfDirectories(tif) == 1;
  out->width = static_cast<int>(w);
  out->height = static_cast<int>(h);
  out->channels = spp;
  out->compression = compression;
  out->pixels.resize(static_cast<size_t>(w) * h * spp);
  for (uint32_t y = 0; ok && y < h; ++y) {
    ok = TIFFReadScanline(tif, &out->pixels[static_cast<size_t>(y) * w * spp], y, 0) == 1;
  }
  TIFFClose(tif);
  return ok;
}

bool ReadGif(const std::string& path, ReadBack* out) {
  int error = 0;
  GifFileType* gif = DGifOpenFileName(path.c_str(), &error);
  if (gif == nullptr) return false;
  bool ok = DGifSlurp(gif) == GIF_OK && gif->ImageCount == 1;
  if (ok) {
    const SavedImage& image = gif->SavedImages[0];
    const ColorMapObject* map =
        image.ImageDesc.ColorMap ? image.ImageDesc.ColorMap : gif->SColorMap;
    out->width = image.ImageDesc.Width;
    out->height = image.ImageDesc.Height;
    out->channels = 3;
    out->colorBits = gif->SColorResolution;
    out->pixels.resize(static_cast<size_t>(out->width) * out->height * 3);
    for (int stored = 0; ok && stored < out->height; ++stored) {  // DGifSlurp de-interlaces
      for (int x = 0; x < out->width; ++x) {
        int index = image.RasterBits[static_cast<size_t>(stored) * out->width + x];
        ok = ok && map != nullptr && index < map->ColorCount;
        if (!ok) break;
        uint8_t* px = &out->pixels[(static_cast<size_t>(stored) * out->width + x) * 3];
        px[0] = map->Colors[index].Red;
        px[1] = map->Colors[index].Green;
        px[2] = map->Colors[index].Blue;
      }
    }
    GraphicsControlBlock gcb;
    if (ok && DGifSavedExtensionToGCB(gif, 0, &gcb) == GIF_OK)
      out->transparentIndex = gcb.TransparentColor;
  }
  DGifCloseFile(gif, &error);
  return ok;
}
