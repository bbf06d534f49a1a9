#include "codec/writers/gif_writer.h"

#include <gif_lib.h>

#include <algorithm>
#include <cstdio>
#include <unordered_map>
#include <vector>

#include "codec/formats/gif/gif_interlace.h"
#include "codec/io/output_file.h"

namespace {

int WriteToFile(GifFileType* gif, const GifByteType* data, int length) {
  auto* out = static_cast<FILE*>(gif->UserData);
  return static_cast<int>(std::fwrite(data, 1, static_cast<size_t>(length), out));
}

struct GifCloser {
  void operator()(GifFileType* gif) const {
    int error = 0;
    EGifCloseFile(gif, &error);
  }
};
struct MapFreer {
  void operator()(ColorMapObject* map) const { GifFreeMapObject(map); }
};

// Returns true with a palette of exactly the image's colours and their indices when it has at
// most mapSize of them; false otherwise.
bool ExactPalette(const std::vector<GifByteType>& red, const std::vector<GifByteType>& green,
                  const std::vector<GifByteType>& blue, int mapSize,
                  std::vector<GifColorType>* palette, std::vector<GifByteType>* indices) {
  std::unordered_map<uint32_t, GifByteType> seen;
  uint32_t lastKey = UINT32_MAX;
  GifByteType lastIndex = 0;
  for (size_t i = 0; i < red.size(); ++i) {
    uint32_t key = static_cast<uint32_t>(red[i]) << 16 | green[i] << 8 | blue[i];
    if (key != lastKey) {
      auto found = seen.find(key);
      if (found == seen.end()) {
        if (static_cast<int>(seen.size()) == mapSize) return false;
        auto index = static_cast<GifByteType>(seen.size());
        (*palette)[index] = GifColorType{red[i], green[i], blue[i]};
        found = seen.emplace(key, index).first;
      }
      lastKey = key;
      lastIndex = found->second;
    }
    (*indices)[i] = lastIndex;
  }
  return true;
}

}  // namespace

bool WriteGif(RowSource& rows, const char* path, const GifWriteOptions& options) {
  int channels = rows.channels();
  if (channels != 1 && channels != 3) return false;
  size_t width = static_cast<size_t>(rows.width()), height = static_cast<size_t>(rows.height());
  size_t pixels = width * height;
  std::vector<GifByteType> red(pixels), green(pixels), blue(pixels);
  for (size_t y = 0; y < height; ++y) {
    const uint8_t* row = rows.NextRow();
    if (row == nullptr) return false;
    for (size_t x = 0; x < width; ++x) {
      size_t i = y * width + x;
      const uint8_t* px = row + x * static_cast<size_t>(channels);
      red[i] = px[0];
      green[i] = px[channels == 3 ? 1 : 0];
      blue[i] = px[channels == 3 ? 2 : 0];
    }
  }
  int bits = std::clamp(options.colorBits, 1, 8);
  int mapSize = 1 << bits;
  std::vector<GifColorType> palette(static_cast<size_t>(mapSize));
  std::vector<GifByteType> indices(pixels);
  if (!ExactPalette(red, green, blue, mapSize, &palette, &indices) &&
      GifQuantizeBuffer(static_cast<unsigned>(width), static_cast<unsigned>(height), &mapSize,
                        red.data(), green.data(), blue.data(), indices.data(),
                        palette.data()) != GIF_OK) {
    return false;
  }
  red = green = blue = {};
  std::unique_ptr<ColorMapObject, MapFreer> map(GifMakeMapObject(1 << bits, palette.data()));
  if (!map) return false;

  std::unique_ptr<OutputFile> file = OutputFile::Create(path);
  if (!file) return false;
  int error = 0;
  std::unique_ptr<GifFileType, GifCloser> gif(EGifOpen(file->stream(), WriteToFile, &error));
  if (!gif) return false;
  EGifSetGifVersion(gif.get(), true);
  if (EGifPutScreenDesc(gif.get(), rows.width(), rows.height(), bits, 0, map.get()) != GIF_OK) {
    return false;
  }
  if (options.transparent) {
    GraphicsControlBlock gcb{};
    gcb.DisposalMode = DISPOSAL_UNSPECIFIED;
    gcb.DelayTime = 0;
    gcb.TransparentColor = std::clamp(options.transparentIndex, 0, (1 << bits) - 1);
    GifByteType extension[4];
    size_t length = EGifGCBToExtension(&gcb, extension);
    if (EGifPutExtension(gif.get(), GRAPHICS_EXT_FUNC_CODE, static_cast<int>(length), extension) !=
        GIF_OK) {
      return false;
    }
  }
  if (EGifPutImageDesc(gif.get(), 0, 0, rows.width(), rows.height(), options.interlaced, nullptr) !=
      GIF_OK) {
    return false;
  }
  bool written = ForEachGifStoredRow(rows.height(), options.interlaced, [&](int y) {
    return EGifPutLine(gif.get(), &indices[static_cast<size_t>(y) * width], rows.width()) == GIF_OK;
  });
  if (!written) return false;
  if (EGifCloseFile(gif.release(), &error) != GIF_OK) return false;
  return file->Close();
}
