#include "support/images.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "codec/io/bytes.h"
#include "support/process.h"

namespace {

template <size_t N, typename Store, typename Value>
void AppendStored(std::string& s, Store store, Value v) {
  uint8_t bytes[N];
  store(bytes, v);
  s.append(reinterpret_cast<const char*>(bytes), N);
}

}  // namespace

void AppendLe16(std::string& s, uint32_t v) {
  AppendStored<2>(s, StoreLe16, static_cast<uint16_t>(v));
}

void AppendLe32(std::string& s, uint32_t v) { AppendStored<4>(s, StoreLe32, v); }

void AppendBe32(std::string& s, uint32_t v) { AppendStored<4>(s, StoreBe32, v); }

void WriteBmp(const std::string& path, int width, int height, int seed) {
  uint32_t stride = (static_cast<uint32_t>(width) * 3 + 3) & ~3u;
  uint32_t dataSize = stride * static_cast<uint32_t>(height);
  std::string file = "BM";
  AppendLe32(file, 54 + dataSize);
  AppendLe32(file, 0);
  AppendLe32(file, 54);
  AppendLe32(file, 40);
  AppendLe32(file, static_cast<uint32_t>(width));
  AppendLe32(file, static_cast<uint32_t>(height));
  AppendLe16(file, 1);
  AppendLe16(file, 24);
  for (uint32_t v : {0u, dataSize, 2835u, 2835u, 0u, 0u}) AppendLe32(file, v);
  std::string row(stride, '\0');
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      row[x * 3] = static_cast<char>((x * 255 / (width > 1 ? width - 1 : 1) + seed) & 0xff);
      row[x * 3 + 1] = static_cast<char>((y * 255 / (height > 1 ? height - 1 : 1)) & 0xff);
      row[x * 3 + 2] = static_cast<char>((seed * 40) & 0xff);
    }
    file += row;
  }
  WriteFile(path, file);
}

void WriteTiff(const std::string& path, int width, int height, int pages) {
  std::string file = "II*";
  file += '\0';
  AppendLe32(file, 0);
  size_t link = 4;
  uint32_t dataSize = static_cast<uint32_t>(width) * static_cast<uint32_t>(height) * 3;
  for (int page = 0; page < pages; ++page) {
    uint32_t dataOffset = static_cast<uint32_t>(file.size());
    for (uint32_t i = 0; i < dataSize; ++i) file += static_cast<char>((i * 7 + page * 80) & 0xff);
    if (file.size() % 2 != 0) file += '\0';
    uint32_t bpsOffset = static_cast<uint32_t>(file.size());
    AppendLe16(file, 8);
    AppendLe16(file, 8);
    AppendLe16(file, 8);
    uint32_t ifd = static_cast<uint32_t>(file.size());
    for (int b = 0; b < 4; ++b) file[link + b] = static_cast<char>((ifd >> (8 * b)) & 0xff);
    struct Tag {
      uint16_t tag, type;
      uint32_t count, value;
    };
    const Tag tags[] = {{256, 4, 1, static_cast<uint32_t>(width)},
                        {257, 4, 1, static_cast<uint32_t>(height)},
                        {258, 3, 3, bpsOffset},
                        {259, 3, 1, 1},
                        {262, 3, 1, 2},
                        {273, 4, 1, dataOffset},
                        {277, 3, 1, 3},
                        {278, 4, 1, static_cast<uint32_t>(height)},
                        {279, 4, 1, dataSize}};
    AppendLe16(file, sizeof tags / sizeof tags[0]);
    for (const Tag& t : tags) {
      AppendLe16(file, t.tag);
      AppendLe16(file, t.type);
      AppendLe32(file, t.count);
      AppendLe32(file, t.value);
    }
    link = file.size();
    AppendLe32(file, 0);
  }
  WriteFile(path, file);
}

std::string TiffDirectoryFirst(int width, int height, const std::string& rgb) {
  const uint32_t tags[][3] = {{256, 4, static_cast<uint32_t>(width)},
                              {257, 4, static_cast<uint32_t>(height)},
                              {258, 3, 8},
                              {259, 3, 1},
                              {262, 3, 2},
                              {273, 4, 8 + 2 + 9 * 12 + 4},
                              {277, 3, 3},
                              {278, 4, static_cast<uint32_t>(height)},
                              {279, 4, static_cast<uint32_t>(rgb.size())}};
  std::string file = "II*";
  file += '\0';
  AppendLe32(file, 8);
  AppendLe16(file, 9);
  for (const auto& t : tags) {
    AppendLe16(file, t[0]);
    AppendLe16(file, t[1]);
    AppendLe32(file, 1);  // one bits-per-sample value stands for all three samples
    AppendLe32(file, t[2]);
  }
  AppendLe32(file, 0);
  return file + rgb;
}

namespace {

uint32_t Crc32(const std::string& bytes) {
  uint32_t crc = 0xffffffffu;
  for (unsigned char c : bytes) {
    crc ^= c;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

}  // namespace

std::string StoredZlib(const std::string& raw) {
  std::string zlib = "\x78\x01";
  uint32_t a = 1, b = 0;
  for (unsigned char c : raw) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  for (size_t pos = 0; pos < raw.size() || pos == 0; pos += 65535) {
    size_t n = std::min<size_t>(65535, raw.size() - pos);
    zlib += static_cast<char>(pos + n >= raw.size() ? 1 : 0);
    AppendLe16(zlib, static_cast<uint32_t>(n));
    AppendLe16(zlib, static_cast<uint32_t>(~n & 0xffff));
    zlib += raw.substr(pos, n);
  }
  AppendBe32(zlib, (b << 16) | a);
  return zlib;
}

void AppendPngChunk(std::string& png, const char* type, const std::string& body) {
  AppendBe32(png, static_cast<uint32_t>(body.size()));
  std::string typed = std::string(type, 4) + body;
  png += typed;
  AppendBe32(png, Crc32(typed));
}

void WritePng(const std::string& path, int width, int height) {
  std::string raw;
  for (int y = 0; y < height; ++y) {
    raw += '\0';
    for (int x = 0; x < width; ++x) {
      raw += static_cast<char>(x * 17);
      raw += static_cast<char>(y * 29);
      raw += static_cast<char>((x + y) * 5);
    }
  }
  std::string ihdr;
  AppendBe32(ihdr, static_cast<uint32_t>(width));
  AppendBe32(ihdr, static_cast<uint32_t>(height));
  ihdr += std::string("\x08\x02\x00\x00\x00", 5);
  std::string png = "\x89PNG\r\n\x1a\n";
  AppendPngChunk(png, "IHDR", ihdr);
  AppendPngChunk(png, "IDAT", StoredZlib(raw));
  AppendPngChunk(png, "IEND", "");
  WriteFile(path, png);
}

bool ReadJpegInfo(const std::string& path, JpegInfo* info) {
  std::string data = ReadFile(path);
  auto byte = [&](size_t i) { return static_cast<unsigned char>(data[i]); };
  auto be16 = [&](size_t i) { return LoadBe16(reinterpret_cast<const uint8_t*>(&data[i])); };
  if (data.size() < 4 || byte(0) != 0xff || byte(1) != 0xd8) return false;
  if (byte(data.size() - 2) != 0xff || byte(data.size() - 1) != 0xd9) return false;
  size_t pos = 2;
  while (pos + 4 <= data.size()) {
    if (byte(pos) != 0xff) return false;
    unsigned marker = byte(pos + 1);
    size_t length = be16(pos + 2);
    bool frame =
        marker >= 0xc0 && marker <= 0xcf && marker != 0xc4 && marker != 0xc8 && marker != 0xcc;
    if (frame && pos + 10 <= data.size()) {
      info->height = be16(pos + 5);
      info->width = be16(pos + 7);
      info->components = byte(pos + 9);
      return true;
    }
    pos += 2 + length;
  }
  return false;
}

std::string EncodeQoi(int width, int height, int channels, const std::string& pixels) {
  std::string out = "qoif";
  AppendBe32(out, static_cast<uint32_t>(width));
  AppendBe32(out, static_cast<uint32_t>(height));
  out.push_back(static_cast<char>(channels));
  out.push_back(0);
  uint8_t index[64][4] = {};
  uint8_t prev[4] = {0, 0, 0, 255};
  int run = 0;
  const size_t count = static_cast<size_t>(width) * height;
  auto put = [&](int byte) { out.push_back(static_cast<char>(byte)); };
  for (size_t i = 0; i < count; ++i) {
    uint8_t px[4] = {0, 0, 0, 255};
    for (int c = 0; c < channels; ++c) px[c] = static_cast<uint8_t>(pixels[i * channels + c]);
    if (std::equal(px, px + 4, prev)) {
      ++run;
      if (run == 62 || i + 1 == count) {
        put(0xc0 | (run - 1));
        run = 0;
      }
      continue;
    }
    if (run > 0) {
      put(0xc0 | (run - 1));
      run = 0;
    }
    const int hash = (px[0] * 3 + px[1] * 5 + px[2] * 7 + px[3] * 11) % 64;
    if (std::equal(px, px + 4, index[hash])) {
      put(hash);
    } else {
      std::copy(px, px + 4, index[hash]);
      if (px[3] == prev[3]) {
        const int dr = static_cast<int8_t>(px[0] - prev[0]);
        const int dg = static_cast<int8_t>(px[1] - prev[1]);
        const int db = static_cast<int8_t>(px[2] - prev[2]);
        if (dr >= -2 && dr <= 1 && dg >= -2 && dg <= 1 && db >= -2 && db <= 1) {
          put(0x40 | (dr + 2) << 4 | (dg + 2) << 2 | (db + 2));
        } else if (dg >= -32 && dg <= 31 && dr - dg >= -8 && dr - dg <= 7 && db - dg >= -8 &&
                   db - dg <= 7) {
          put(0x80 | (dg + 32));
          put((dr - dg + 8) << 4 | (db - dg + 8));
        } else {
          put(0xfe);
          for (int c = 0; c < 3; ++c) put(px[c]);
        }
      } else {
        put(0xff);
        for (int c = 0; c < 4; ++c) put(px[c]);
      }
    }
    std::copy(px, px + 4, prev);
  }
  out.append(7, '\0');
  out.push_back(1);
  return out;
}
