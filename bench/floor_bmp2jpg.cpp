// The floor of BMP to JPEG conversion: each 24-bit bottom-up BMP's rows fed straight into
// libjpeg-turbo (quality 75, optimised Huffman tables) on one thread, nothing else around it.
// Usage: floor_bmp2jpg OUTDIR FILE.bmp...
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

// jpeglib.h needs size_t and FILE declared before it.
// clang-format off
#include <jpeglib.h>
// clang-format on

namespace {

uint32_t Le32(const unsigned char* p) {
  return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
}

bool Convert(const char* in, const std::string& out) {
  FILE* f = std::fopen(in, "rb");
  if (f == nullptr) return false;
  unsigned char header[54];
  if (std::fread(header, 1, 54, f) != 54) return std::fclose(f), false;
  uint32_t offset = Le32(header + 10);
  int width = static_cast<int>(Le32(header + 18));
  int height = static_cast<int>(Le32(header + 22));
  size_t stride = (static_cast<size_t>(width) * 3 + 3) & ~size_t{3};
  std::vector<unsigned char> pixels(stride * height);
  std::fseek(f, offset, SEEK_SET);
  size_t got = std::fread(pixels.data(), 1, pixels.size(), f);
  std::fclose(f);
  if (got != pixels.size()) return false;
  FILE* o = std::fopen(out.c_str(), "wb");
  if (o == nullptr) return false;
  jpeg_compress_struct cinfo;
  jpeg_error_mgr jerr;
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  jpeg_stdio_dest(&cinfo, o);
  cinfo.image_width = width;
  cinfo.image_height = height;
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_EXT_BGR;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 75, TRUE);
  cinfo.optimize_coding = TRUE;
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = pixels.data() + (height - 1 - cinfo.next_scanline) * stride;
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  std::fclose(o);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  std::string outDir = argv[1];
  int failed = 0;
  for (int i = 2; i < argc; ++i) {
    std::string name = argv[i];
    size_t slash = name.rfind('/');
    std::string base = name.substr(slash == std::string::npos ? 0 : slash + 1);
    base = base.substr(0, base.rfind('.'));
    if (!Convert(argv[i], outDir + "/" + base + ".jpg")) ++failed;
  }
  return failed == 0 ? 0 : 1;
}
