// What libjpeg's callbacks for one decompression find through its client_data (the helpers
// that hooked its memory manager and which part of a split decode it reads), and what the
// decoder's data sources and coefficient arrays share.
#pragma once

#include <cstdio>
// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>
// After jpeglib.h.
#include <jerror.h>

#include <algorithm>
#include <cstddef>

class JpegPrefault;
class JpegScanSplit;

struct JpegClient {
  JpegPrefault* prefault = nullptr;  // maps the coefficient arrays ahead, when set
  JpegScanSplit* split = nullptr;    // holds the coefficient arrays of a split decode, when set
  int part = 0;                      // the split's part this decompression decodes
};

// libjpeg's skip_input_data for a source that fills its buffer on demand: skips count bytes,
// refilling through the source's own fill_input_buffer (which never suspends).
inline void SkipThroughSource(j_decompress_ptr cinfo, long count) {
  jpeg_source_mgr* source = cinfo->src;
  if (count <= 0) return;
  while (static_cast<size_t>(count) > source->bytes_in_buffer) {
    count -= static_cast<long>(source->bytes_in_buffer);
    source->fill_input_buffer(cinfo);
  }
  source->next_input_byte += count;
  source->bytes_in_buffer -= static_cast<size_t>(count);
}

// What a data source hands libjpeg when the data ends, as libjpeg's own file source does: a
// warning (the decoder's message handler decides whether that ends the decode) and an
// end-of-image marker in place of the missing data. Returns its length, written to buffer.
inline size_t EndOfData(j_decompress_ptr cinfo, JOCTET* buffer) {
  WARNMS(cinfo, JWRN_JPEG_EOF);
  buffer[0] = 0xFF;
  buffer[1] = JPEG_EOI;
  return 2;
}

// Returns up to which block row the coefficient array of component (rows long, rowBytes a
// row) may go back to the system now that cinfo's output pass has moved on: released (the
// rows given back so far) while less than a step has gathered behind it. The output pass
// reads the iMCU row it is on and, smoothing the blocks of an incomplete progressive file, up
// to two before it; what lies further back is never read again. Rows go back about 1 MB at a
// time: each release walks the page tables once.
inline size_t RowsToRelease(const jpeg_decompress_struct& cinfo, int component, size_t rows,
                            size_t rowBytes, size_t released) {
  constexpr JDIMENSION kRowsStillRead = 3;
  constexpr size_t kReleaseStepBytes = 1u << 20;
  if (cinfo.output_iMCU_row <= kRowsStillRead) return released;
  const size_t done = std::min<size_t>(rows, size_t{cinfo.output_iMCU_row - kRowsStillRead} *
                                                 cinfo.comp_info[component].v_samp_factor);
  return done > released && (done - released) * rowBytes >= kReleaseStepBytes ? done : released;
}
