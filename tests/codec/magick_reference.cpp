#include "codec/magick_reference.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <filesystem>

namespace {

const char kConvert[] = "/usr/bin/convert";

// Returns the next number of a PPM header, skipping white space and comments (ImageMagick
// writes a TGA's ID field as one); -1 at the end or on anything else.
int PpmNumber(FILE* in) {
  int c = std::fgetc(in);
  while (c == '#' || std::isspace(c)) {
    if (c == '#') {
      while (c != '\n' && c != EOF) c = std::fgetc(in);
    }
    c = std::fgetc(in);
  }
  if (!std::isdigit(c)) return -1;
  int value = 0;
  for (; std::isdigit(c); c = std::fgetc(in)) value = value * 10 + (c - '0');
  return value;  // the one white space character after the number is consumed
}

// Returns true after reading a binary PPM header of 8-bit samples into frame's size.
bool ReadPpmHeader(FILE* in, RgbFrame* frame) {
  int c = std::fgetc(in);
  while (std::isspace(c)) c = std::fgetc(in);
  if (c != 'P' || std::fgetc(in) != '6') return false;
  frame->width = PpmNumber(in);
  frame->height = PpmNumber(in);
  return frame->width > 0 && frame->height > 0 && PpmNumber(in) == 255;
}

}  // namespace

bool HaveMagick() { return std::filesystem::exists(kConvert); }

std::vector<RgbFrame> MagickFrames(const std::string& path) {
  std::vector<RgbFrame> frames;
  if (!HaveMagick() || path.find('\'') != std::string::npos) return frames;
  const std::string command = std::string(kConvert) + " '" + path +
                              "' -auto-orient -background white -alpha remove -depth 8 "
                              "-type TrueColor ppm:- 2>/dev/null";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return frames;
  while (true) {
    RgbFrame frame;
    if (!ReadPpmHeader(pipe, &frame)) break;
    frame.rgb.resize(static_cast<size_t>(frame.width) * frame.height * 3);
    if (std::fread(frame.rgb.data(), 1, frame.rgb.size(), pipe) != frame.rgb.size()) break;
    frames.push_back(std::move(frame));
  }
  pclose(pipe);
  return frames;
}

RgbFrame OverWhite(const DecodedPage& page) {
  const int channels = ChannelCount(page.layout);
  const bool alpha = channels == 2 || channels == 4;
  RgbFrame frame{page.width, page.height, {}};
  for (size_t i = 0; i + channels <= page.pixels.size(); i += channels) {
    const double a = alpha ? page.pixels[i + channels - 1] / 255.0 : 1.0;
    for (int c = 0; c < 3; ++c) {
      const double v = page.pixels[i + (channels <= 2 ? 0 : c)];
      frame.rgb.push_back(static_cast<uint8_t>(std::lround(v * a + 255.0 * (1 - a))));
    }
  }
  return frame;
}

double Psnr(const RgbFrame& a, const RgbFrame& b) {
  if (a.width != b.width || a.height != b.height || a.rgb.size() != b.rgb.size()) return -1;
  double squares = 0;
  for (size_t i = 0; i < a.rgb.size(); ++i) {
    const double d = static_cast<double>(a.rgb[i]) - b.rgb[i];
    squares += d * d;
  }
  if (squares == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 * static_cast<double>(a.rgb.size()) / squares);
}
