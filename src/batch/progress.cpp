#include "batch/progress.h"

#include <cstdio>

void PrintFoundCount(int count) { std::printf(" %d graphic files found\n\n", count); }

void ReportStatus(int code, std::string text) {
  switch (code) {
    case kStatusName:
      std::printf(" %s", text.c_str());
      break;
    case kStatusLoaded:
    case kStatusPageSaved:
      std::printf("..");
      break;
    case kStatusReady:
      std::printf("..Ready\n");
      break;
    case kStatusLoadFailed:
      std::printf(".Loading failed\n");
      break;
    case kStatusConvertFailed:
      std::printf(".Converting failed\n");
      break;
    default:
      break;
  }
}
