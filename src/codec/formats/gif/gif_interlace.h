// The order in which a GIF image stores its rows, shared by the GIF decoder and the GIF
// writer: top to bottom, or interlaced in four passes (every 8th row from 0, every 8th from 4,
// every 4th from 2, every 2nd from 1).
#pragma once

// Calls visit(row) for the rows 0..height-1 in stored order. Returns true when every call did;
// false as soon as one returns false.
template <typename Visit>
bool ForEachGifStoredRow(int height, bool interlaced, Visit visit) {
  static constexpr int kPassStart[] = {0, 4, 2, 1};
  static constexpr int kPassStep[] = {8, 8, 4, 2};
  const int passes = interlaced ? 4 : 1;
  for (int pass = 0; pass < passes; ++pass) {
    const int step = interlaced ? kPassStep[pass] : 1;
    for (int row = interlaced ? kPassStart[pass] : 0; row < height; row += step) {
      if (!visit(row)) return false;
    }
  }
  return true;
}
