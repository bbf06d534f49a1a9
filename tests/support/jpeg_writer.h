// libjpeg's compressor writing to memory, for tests that make JPEGs of their own: set further
// parameters on cinfo(), call jpeg_start_compress, write the rows, then take the bytes.
#pragma once

#include <cstdio>
// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

#include <string>

class MemoryJpeg {
 public:
  // A compressor of width x height pixels of components samples in inSpace, writing to memory,
  // with libjpeg's default parameters set.
  MemoryJpeg(int width, int height, int components, J_COLOR_SPACE inSpace);
  ~MemoryJpeg();
  MemoryJpeg(const MemoryJpeg&) = delete;
  MemoryJpeg& operator=(const MemoryJpeg&) = delete;

  jpeg_compress_struct* cinfo() { return &cinfo_; }

  // Returns the file, once jpeg_finish_compress has completed it.
  std::string Finish();

 private:
  jpeg_compress_struct cinfo_;
  jpeg_error_mgr err_;
  unsigned char* buffer_ = nullptr;
  unsigned long size_ = 0;
};
