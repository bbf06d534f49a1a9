#include "batch/progress.h"

#include <cstdio>

void PrintFoundCount(int count) { std::printf(" %d graphic files found\n\n", count); }

std::string StatusText(int code, const std::string& text) {
  switch (code) {
    case kStatusName:
      return " " + text;
    case kStatusLoaded:
    case kStatusPageSaved:
      return "..";
    case kStatusReady:
      return "..Ready\n";
    case kStatusLoadFailed:
      return ".Loading failed\n";
    case kStatusConvertFailed:
      return ".Converting failed\n";
    case kStatusUpToDate:
      return "..Up to date\n";
    default:
      return std::string();
  }
}

void ReportStatus(int code, std::string text) {
  std::string printed = StatusText(code, text);
  std::fwrite(printed.data(), 1, printed.size(), stdout);
}
