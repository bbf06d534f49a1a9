// libjpeg's decompressor behind calls that return false instead of long-jumping: the only
// place of the JPEG decoder that holds setjmp. Warnings are counted, never printed; data that
// ends before the end-of-image marker is an error, not a warning.
#pragma once

#include <cstdio>
// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

#include <csetjmp>
#include <cstdint>
#include <memory>
#include <optional>

#include "codec/core_budget.h"
#include "codec/formats/jpeg/jpeg_client.h"
#include "codec/formats/jpeg/jpeg_prefault.h"
#include "codec/formats/jpeg/jpeg_scan_split.h"

class InputFile;

class JpegSession {
 public:
  JpegSession();
  ~JpegSession();
  JpegSession(const JpegSession&) = delete;
  JpegSession& operator=(const JpegSession&) = delete;

  // Returns true when the decompressor was created; false when libjpeg refused.
  bool created() const { return created_; }
  // Returns the decompress struct, for reading the header and setting decode parameters.
  jpeg_decompress_struct* cinfo() { return &cinfo_; }

  // Returns true with the header of in (read from its current position) parsed, APP1 and APP2
  // markers saved; false when it is not a readable JPEG header. Abandons any earlier decode.
  bool ReadHeader(FILE* in);

  // Returns true when decompression started with the parameters set in cinfo(); false on a
  // decoding error, or on data ending early in a multi-scan file (read whole here). While a
  // file of several scans is read, a core borrowed from cores (null: none) decodes some of
  // its scans when file (the one ReadHeader read) allows, or else maps its whole-image
  // buffers; the helper is done when this returns.
  bool Start(CoreBudget* cores = nullptr, const InputFile* file = nullptr);

  // Returns true when count rows were read into rows[0..count) (and, with the last row, the
  // stream was read to its end-of-image marker); false on a decoding error, on data ending
  // before that marker, or when fewer rows were left.
  bool ReadScanlines(JSAMPROW* rows, int count);

  // Returns the ICC profile assembled from the saved APP2 markers (malloc'ed, the caller
  // frees it) and its length; nullptr when there is none or it is unreadable.
  JOCTET* ReadIccProfile(unsigned int* length);

  // Returns how many warnings libjpeg raised since the last ReadHeader.
  int warnings() const { return err_.warnings; }

 private:
  struct ErrorManager {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    int warnings;
  };
  // Reads the compressed data from a FILE in growing pieces: small ones while the header is
  // read, so that little is read ahead of the pixels, then large ones, because libjpeg's
  // Huffman decoder takes its fast path only while several kilobytes are left in its buffer.
  struct FileSource {
    static constexpr size_t kFirstRead = 4096;
    static constexpr size_t kLargestRead = 256u << 10;
    jpeg_source_mgr pub;
    FILE* file;
    bool startOfFile;
    size_t nextRead;
    JOCTET buffer[kLargestRead];
  };
  static void InitSource(j_decompress_ptr cinfo);
  static boolean FillInputBuffer(j_decompress_ptr cinfo);
  static void TermSource(j_decompress_ptr cinfo);
  static void ErrorExit(j_common_ptr cinfo);
  static void EmitMessage(j_common_ptr cinfo, int level);
  static void OutputMessage(j_common_ptr cinfo);
  static void Progress(j_common_ptr cinfo);
  // Returns true with the offset in the file where libjpeg's next byte lies; false when the
  // stream cannot tell.
  bool SourceOffset(uint64_t* offset) const;
  // Returns true when the header was read again from the file's start, the decode
  // parameters set since kept; false when it cannot be read again.
  bool ReadHeaderAgain();

  jpeg_decompress_struct cinfo_;
  ErrorManager err_;
  jpeg_progress_mgr progress_;
  FileSource source_;
  bool created_ = false;
  JpegClient client_;
  std::optional<JpegPrefault> prefault_;  // set when created
  std::unique_ptr<JpegScanSplit> split_;  // set while a split decode's arrays are in use
};
