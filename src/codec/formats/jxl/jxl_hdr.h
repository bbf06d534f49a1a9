// HDR JPEG XL images (PQ or HLG transfer) made fit for an 8-bit sRGB-encoded output: the
// reference white of BT.2408 (203 cd/m2) comes out near white, brighter highlights roll off
// smoothly into white instead of clipping hard, and the values are sRGB-encoded in the image's
// own primaries.
#pragma once

#include <jxl/color_encoding.h>

#include <cstdint>
#include <vector>

// Returns true when encoding's transfer is PQ or HLG.
bool IsHdrTransfer(const JxlColorEncoding& encoding);

// Returns 65536 entries mapping a 16-bit sample of transfer (PQ or HLG) to an 8-bit
// sRGB-encoded one. The shoulder does not depend on the image's peak: whatever lies above
// reference white rolls off alike.
std::vector<uint8_t> HdrToSrgbTable(JxlTransferFunction transfer);

// Returns an ICC profile for RGB with encoding's primaries and white point and the sRGB tone
// curve; empty when those are sRGB's own (no profile needed) or lcms2 cannot make it.
std::vector<uint8_t> SrgbCurveProfile(const JxlColorEncoding& encoding);
