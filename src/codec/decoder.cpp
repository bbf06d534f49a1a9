#include "codec/decoder.h"

int ChannelCount(PixelLayout layout) {
  switch (layout) {
    case PixelLayout::kG8: return 1;
    case PixelLayout::kGA8: return 2;
    case PixelLayout::kRGB8: return 3;
    case PixelLayout::kRGBA8: return 4;
    case PixelLayout::kCMYK8: return 4;
  }
  return 0;
}
