#include "support/jpeg_writer.h"

#include <cstdlib>

MemoryJpeg::MemoryJpeg(int width, int height, int components, J_COLOR_SPACE inSpace) {
  cinfo_.err = jpeg_std_error(&err_);
  jpeg_create_compress(&cinfo_);
  jpeg_mem_dest(&cinfo_, &buffer_, &size_);
  cinfo_.image_width = static_cast<JDIMENSION>(width);
  cinfo_.image_height = static_cast<JDIMENSION>(height);
  cinfo_.input_components = components;
  cinfo_.in_color_space = inSpace;
  jpeg_set_defaults(&cinfo_);
}

MemoryJpeg::~MemoryJpeg() {
  jpeg_destroy_compress(&cinfo_);
  std::free(buffer_);
}

std::string MemoryJpeg::Finish() {
  jpeg_finish_compress(&cinfo_);
  return std::string(reinterpret_cast<const char*>(buffer_), size_);
}
