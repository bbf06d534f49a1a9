// What a run tells people on standard error, beside the console text of standard output that
// scripts read: why a file was not converted, a destination that cannot be used, the summary
// at the end, and on a terminal a status line with the batch's progress. The coordinator calls
// it at a few events; standard output is never written here.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "codec/decoder.h"
#include "platform/platform.h"

// Returns words a user understands for why failure happened, the decoder's own text after
// them ("the file ends early, at row 17 of 40: data ends before the image").
std::string FailureWords(const Failure& failure);

class Reporter {
 public:
  // Messages go to sink (standard error in a run); a null sink keeps them all to itself. The
  // status line is drawn only when the platform says standard error is a terminal.
  Reporter(Platform& platform, std::FILE* sink);
  Reporter(const Reporter&) = delete;
  Reporter& operator=(const Reporter&) = delete;

  // Writes one line of its own ("xevra: " and text), the status line erased first.
  void Say(const std::string& text);

  // Begins a batch of total files; on a terminal the status line appears.
  void Start(int total);

  // Before standard-output text is written: the status line goes.
  void BeforeOutput();
  // After standard-output text was written and flushed: the status line may come back, on
  // the line below the cursor.
  void AfterOutput();

  // A file's work is over and its console line complete: says each of reasons (one line each,
  // already naming the file) and counts the file as converted or not, with skippedPages
  // pages that could not be read again.
  void FileDone(const std::vector<std::string>& reasons, bool converted, int skippedPages);

  // Ends the batch: the status line goes for good, and when anything was not converted a
  // summary says how many files were converted, how many not, and how many pages skipped.
  void Finish();

 private:
  void Erase();
  void Draw(bool force);
  std::string StatusLine(int64_t now) const;

  Platform& platform_;
  std::FILE* sink_;
  bool terminal_ = false;
  bool drawn_ = false;      // the status line is on the screen
  bool everDrawn_ = false;  // drawnMs_ holds the time of the last drawing
  int total_ = 0;
  int converted_ = 0;
  int failed_ = 0;
  int skippedPages_ = 0;
  int64_t startMs_ = 0;
  int64_t drawnMs_ = 0;
};
