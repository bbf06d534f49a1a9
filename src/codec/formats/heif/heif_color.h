// The colour of a HEIF image that describes it by coding points (an nclx box) rather than by
// an ICC profile.
#pragma once

#include <cstdint>
#include <vector>

// Returns an ICC profile for RGB with the given CIE xy primaries and white point and the
// transfer of ITU-T H.273 code transfer; empty when the primaries are sRGB's own (BT.709,
// where no profile is needed) or lcms2 cannot make the profile.
std::vector<uint8_t> IccForPrimaries(const float (&xy)[8], int transfer);
