// Our own walk over a GIF's records, for files giflib refuses because a frame's LZW minimum
// code size is larger than 8: the header and logical screen with its palette, extensions
// (of which only graphics control matters here), image descriptors with their palettes, and
// the trailer. Every length is checked against the file before it is used.
#pragma once

#include <cstdint>
#include <vector>

#include "codec/io/input_file.h"

// What the compositor needs of one frame, whichever reader found it.
struct GifFrameRecord {
  int left = 0, top = 0, width = 0, height = 0;
  bool interlace = false;
  std::vector<uint8_t> palette;  // RGB triples: the local palette, else the global; may be empty
  int disposal = 0;              // graphics control disposal method, 0 when none given
  int transparent = -1;          // transparent index, -1 when none
  int minCodeSize = 0;           // the LZW minimum code size byte
  uint64_t dataOffset = 0;       // where the first data sub-block's length byte lies
};

class GifRecordWalk {
 public:
  explicit GifRecordWalk(const InputFile& file) : file_(file) {}

  // Reads the header and the logical screen from the start of the file; false when it is not
  // a GIF or they are cut short.
  bool ReadScreen();

  int screenWidth() const { return screenWidth_; }
  int screenHeight() const { return screenHeight_; }

  // Reads the records from offset() up to and including the next image descriptor, its
  // palette and its code size byte. Returns false at the trailer (reachedTrailer()), at a
  // record of no known kind, or when the file ends within one.
  bool NextFrame(GifFrameRecord* frame);

  bool reachedTrailer() const { return reachedTrailer_; }
  uint64_t offset() const { return offset_; }
  // Moves on to the record at offset (past a frame's data).
  void set_offset(uint64_t offset) { offset_ = offset; }

 private:
  bool ReadBytes(uint8_t* buffer, size_t length);
  bool ReadPalette(int sizeField, std::vector<uint8_t>* palette);
  bool ReadExtension(GifFrameRecord* frame);
  bool ReadImageDescriptor(GifFrameRecord* frame);

  const InputFile& file_;
  uint64_t offset_ = 0;
  int screenWidth_ = 0;
  int screenHeight_ = 0;
  std::vector<uint8_t> global_;
  bool reachedTrailer_ = false;
};
