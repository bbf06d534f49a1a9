// libtiff opened over an InputFile: reads go through InputFile::ReadUpTo with the handle's own
// offset (never a memory map), libtiff's messages are swallowed, and its single allocations
// are capped. libtiff reads a directory a few bytes at a time (its entry count, its entries,
// each value stored apart, the next offset): small reads are served from a window of the
// file read 64 KB at once, large ones (whole strips and tiles) go straight to the file.
#pragma once

#include <tiffio.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "codec/io/input_file.h"
#include "codec/io/tiff_handle.h"

// The largest single buffer libtiff may allocate for one of our handles.
constexpr int64_t kTiffMaxSingleAlloc = 256ll << 20;

class TiffSource {
 public:
  // Returns a handle with the first directory read, or nullptr when file is not a TIFF that
  // libtiff can open. file must outlive the handle.
  static std::unique_ptr<TiffSource> Open(const InputFile* file);
  TiffSource(const TiffSource&) = delete;
  TiffSource& operator=(const TiffSource&) = delete;

  TIFF* tif() const { return tif_.get(); }
  uint64_t fileSize() const { return file_->size(); }

  // Returns true with directory page (counted from 0 along the chain) read as the current
  // one; false when it cannot be read. The directory after the one read last is read straight
  // on, one whose offset (*offsets)[page] is known (not 0) is read there, and any other is
  // found by walking the chain from the start; each directory read has its offset recorded in
  // *offsets, which every handle on the same file may share.
  bool SetPage(int page, std::vector<uint64_t>* offsets);

  // Forgets the window of the file read ahead, so that the next reads see the file as it is
  // now.
  void DropReadAhead() { window_.clear(); }

 private:
  explicit TiffSource(const InputFile* file) : file_(file) {}
  static tmsize_t Read(thandle_t handle, void* buffer, tmsize_t size);
  static tmsize_t Write(thandle_t handle, void* buffer, tmsize_t size);
  static toff_t Seek(thandle_t handle, toff_t offset, int whence);
  static int Close(thandle_t handle);
  static toff_t Size(thandle_t handle);
  static int Map(thandle_t handle, void** base, toff_t* size);
  static void Unmap(thandle_t handle, void* base, toff_t size);

  static constexpr size_t kWindowBytes = 64 * 1024;
  static constexpr size_t kDirectReadBytes = 16 * 1024;  // reads from this size skip the window

  const InputFile* file_;
  uint64_t offset_ = 0;
  std::vector<uint8_t> window_;  // file bytes from windowStart_ on
  uint64_t windowStart_ = 0;
  int page_ = 0;  // the directory read last, -1 when unknown (after a failed read)
  TiffPtr tif_;   // last: closed before the state its procedures use
};
