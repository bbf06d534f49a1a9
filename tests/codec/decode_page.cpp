#include "codec/decode_page.h"

#include <algorithm>

DecodeStage DecodePage(Decoder* decoder, int page, const DecodeRequest& request, int band,
                       PageInfo* info, std::vector<uint8_t>* pixels) {
  if (decoder == nullptr) return DecodeStage::kOpen;
  if (!decoder->StartPage(page, request, info)) return DecodeStage::kStart;
  const size_t stride = static_cast<size_t>(info->width) * ChannelCount(info->layout);
  pixels->assign(stride * info->height, 0);
  if (band <= 0) band = std::max(info->height, 1);
  for (int y = 0; y < info->height; y += band) {
    int count = std::min(band, info->height - y);
    if (!decoder->ReadRows(pixels->data() + y * stride, stride, count)) return DecodeStage::kRead;
  }
  return DecodeStage::kDone;
}
