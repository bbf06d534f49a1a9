// Decoding the bands of a TIFF page (a strip, a strip of each plane, or a row of tiles) on
// helper threads while the decoder's own thread reads the band it needs: every band is
// compressed on its own, so they inflate side by side and are handed out strictly in order.
// Each helper borrows an idle core of the run and opens a libtiff handle of its own on the
// same file; a band whose turn comes before any helper took it is read by the caller, so the
// caller's core decodes too whenever the writer leaves it time.
#pragma once

#include <tiffio.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "codec/core_budget.h"
#include "codec/io/input_file.h"

// Where a page's bands lie: strips (planes of one band one after another) or rows of tiles.
struct TiffBandShape {
  bool tiled = false;
  int planes = 1;
  uint32_t height = 0;      // of the page
  uint32_t bandHeight = 1;  // rows a full band holds
  uint64_t planeRowBytes = 0;
  uint64_t planeBytes = 0;  // planeRowBytes * bandHeight
  uint32_t tileWidth = 0;
  uint32_t tilesAcross = 0;
  uint64_t tileRowBytes = 0;
  uint64_t tileBytes = 0;
};

// Returns true with the band starting at row first read from tif into band (planes * planeBytes
// bytes; what a short strip or tile lacks is zero); false when libtiff fails on one of its
// strips or tiles. tile is scratch of shape.tileBytes for tiled pages.
bool ReadTiffBand(TIFF* tif, const TiffBandShape& shape, uint32_t first, uint8_t* band,
                  std::vector<uint8_t>* tile);

class TiffBandPool {
 public:
  // Reads page (found through offsets as TiffSource::SetPage does) of file in bands of shape;
  // prepare is called on each helper's handle at that page and returns false when it cannot
  // be read as the caller's. Helpers borrow cores from cores (not null), at most maxHelpers.
  TiffBandPool(const InputFile* file, int page, std::vector<uint64_t> offsets, TiffBandShape shape,
               std::function<bool(TIFF*)> prepare, CoreBudget* cores, int maxHelpers);
  // Stops the helpers and joins them.
  ~TiffBandPool();
  TiffBandPool(const TiffBandPool&) = delete;
  TiffBandPool& operator=(const TiffBandPool&) = delete;

  // Returns true with band index (asked for in increasing order) swapped into *band, which
  // must hold a band's bytes; false when the caller must read that band itself: no helper took
  // it, or the one that did failed (so the caller meets the failure as if alone). While a
  // helper is still on the band, the caller decodes later bands with own (its handle of the
  // page; tile is its scratch) instead of waiting.
  bool Take(uint32_t index, std::vector<uint8_t>* band, TIFF* own, std::vector<uint8_t>* tile);

 private:
  enum class SlotState : uint8_t { kBusy, kDone, kFailed };
  struct Slot {
    uint32_t index = 0;
    SlotState state = SlotState::kBusy;
    std::vector<uint8_t> bytes;
  };

  void StartHelpers();
  void Help();
  // Returns true when a band may be taken ahead: one is left and few wait. Under mutex_.
  bool RoomAhead() const;
  // Takes the next band and decodes it with tif; called under lock, which it releases while
  // decoding. Returns false when the decoding failed.
  bool DecodeNext(std::unique_lock<std::mutex>& lock, TIFF* tif, std::vector<uint8_t>* tile);
  void Stop();

  const InputFile* file_;
  int page_;
  std::vector<uint64_t> offsets_;
  TiffBandShape shape_;
  std::function<bool(TIFF*)> prepare_;
  CoreBudget* cores_;
  int maxHelpers_;
  uint32_t bands_;
  size_t bandBytes_;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<Slot> slots_;  // bands taken by helpers, in increasing order
  std::vector<std::vector<uint8_t>> spare_;
  uint32_t nextClaim_ = 0;  // the first band nobody has taken
  int running_ = 0;
  bool stop_ = false;
  bool helpersFail_ = false;  // a helper could not open the page: start no more
  std::vector<std::thread> threads_;
};
