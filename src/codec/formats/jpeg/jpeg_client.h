// What libjpeg's callbacks for one decompression find through its client_data: the helpers
// that hooked its memory manager and which part of a split decode it reads.
#pragma once

class JpegPrefault;
class JpegScanSplit;

struct JpegClient {
  JpegPrefault* prefault = nullptr;  // maps the coefficient arrays ahead, when set
  JpegScanSplit* split = nullptr;    // holds the coefficient arrays of a split decode, when set
  int part = 0;                      // the split's part this decompression decodes
};
