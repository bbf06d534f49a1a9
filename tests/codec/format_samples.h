// Small sample files of every source format, made by the test support writers, for the
// decoder contract suite. Formats whose writer needs an optional library register theirs from
// their own test folder (compiled only when the format is built).
#pragma once

#include <map>
#include <string>

constexpr int kSampleWidth = 23;
constexpr int kSampleHeight = 17;

struct FormatSample {
  int pages = 1;
  void (*write)(const std::string& path) = nullptr;  // writes the sample; fails the test if not
  int width = kSampleWidth;  // of the first page, for a format that cannot be that small
  int height = kSampleHeight;
  // A format whose files start like this one's (a camera raw file is a TIFF file): each
  // sniffer accepts the other's sample and the openers sort them out.
  const char* sharesHeadersWith = nullptr;
};

// Returns every registered sample by format name.
std::map<std::string, FormatSample>& FormatSamples();

// Returns true after registering sample under name (for a namespace-scope initialiser).
bool AddFormatSample(const std::string& name, FormatSample sample);
