// The console printers of a batch: the found-count line and the pieces of each file's
// progress line.
#pragma once

#include <string>

// Status codes of ReportStatus.
enum StatusCode {
  kStatusName = 0,           // " name"
  kStatusLoaded = 1,         // ".."
  kStatusReady = 2,          // "..Ready\n"
  kStatusPageSaved = 3,      // ".."
  kStatusLoadFailed = 4,     // ".Loading failed\n"
  kStatusConvertFailed = 5,  // ".Converting failed\n"
  kStatusUpToDate = 6,       // "..Up to date\n": with -u, every output is there and not older
};

// Prints " <count> graphic files found" and an empty line.
void PrintFoundCount(int count);

// Returns the text of code (see StatusCode); text is used with code 0 only. Any other code
// gives an empty text.
std::string StatusText(int code, const std::string& text);

// Prints the text of code, as StatusText gives it.
void ReportStatus(int code, std::string text);
