// Saving one page of a decoder: builds the pipeline the record's header asks for and runs
// the record's writer; a failed save leaves no file at the path.
#pragma once

#include <cstdint>
#include <functional>

#include "codec/core_budget.h"
#include "codec/decoder.h"
#include "settings/save_info.h"

// What a save may use beyond the caller's thread; by default nothing.
struct SaveHelpers {
  // Idle cores from which a save of a large page borrows one for a thread that decodes ahead
  // of the writer; null: everything runs on the caller's thread.
  CoreBudget* cores = nullptr;
  // Pages of fewer pixels than this decode and encode so quickly on one thread that starting
  // a helper would cost more than it gains: they never borrow one.
  uint64_t helperMinPixels = 1000 * 1000;
  // Called once, on any of the save's threads, as soon as every row of the page has been read
  // from the decoder (usually well before they are all written); the save does not touch the
  // decoder after it, so that another thread may go on with the decoder's next page.
  std::function<void()> decoded;
};

// Each returns true when page info.nPage of decoder was written to path as the record asks;
// false, with nothing left at path and the reason in *failure (when failure is not null and
// the reason is known), otherwise. After a success *failure holds what the decoder said while
// reading (kind kNone, or why a stand-in such as a raw file's preview was read). Anything a
// helper thread threw (std::bad_alloc) is thrown again on the caller's thread.
bool SavePage(Decoder& decoder, const char* path, const _SAVEIMAGEINFO::_JPG& info,
              Failure* failure = nullptr, const SaveHelpers& helpers = {});
bool SavePage(Decoder& decoder, const char* path, const _SAVEIMAGEINFO::_BMP& info,
              Failure* failure = nullptr, const SaveHelpers& helpers = {});
bool SavePage(Decoder& decoder, const char* path, const _SAVEIMAGEINFO::_TIF& info,
              Failure* failure = nullptr, const SaveHelpers& helpers = {});
bool SavePage(Decoder& decoder, const char* path, const _SAVEIMAGEINFO::_GIF& info,
              Failure* failure = nullptr, const SaveHelpers& helpers = {});
