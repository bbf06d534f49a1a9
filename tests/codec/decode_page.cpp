#include "codec/decode_page.h"

#include <algorithm>
#include <cmath>

#include "codec/formats/registry.h"
#include "support/process.h"

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

DecodeStage DecodeBytes(const std::string& bytes, const char* name, int page, int band,
                        DecodedPage* out, Failure* failure, int* pages) {
  TempDir dir;
  const std::string path = dir / name;
  WriteFile(path, bytes);
  Failure opened;
  auto decoder = OpenDecoder(path.c_str(), &opened);
  if (pages != nullptr) *pages = decoder ? decoder->PageCount() : 0;
  const DecodeStage stage = DecodePage(decoder.get(), page, {}, band, out);
  if (failure != nullptr) *failure = decoder ? decoder->LastFailure() : opened;
  return stage;
}

double Psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size() || a.empty()) return 0;
  double sum = 0;
  for (size_t i = 0; i < a.size(); ++i) sum += (a[i] - b[i]) * double(a[i] - b[i]);
  return sum == 0 ? 99 : 10 * std::log10(255.0 * 255.0 * double(a.size()) / sum);
}
