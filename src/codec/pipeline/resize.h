// Resampling: a separable Lanczos-3 filter whose support widens with the downscale factor,
// weights precomputed once in fixed point, holding only a ring of rows as tall as the filter.
// Strong reductions first average blocks of whole pixels (one row of sums), so that the
// filter reads a fraction of the taps while still reducing by a factor of about two or more.
#pragma once

#include <memory>

#include "codec/pipeline/row_source.h"

// Returns the block size, along one direction, that a reduction from sourceSize to outputSize
// averages before the filter: the largest leaving the filter a factor of at least three, or
// pairs for factors from 3.6 to 6 (leaving it 1.8 to 3); 1 below 3.6, for enlargements and
// for outputs under 16 samples.
int BlockFactor(int sourceSize, int outputSize);

// Returns a stage yielding source resampled to width x height (both at least 1), or source
// itself when it already has that size.
std::unique_ptr<RowSource> MakeResizeStage(std::unique_ptr<RowSource> source, int width,
                                           int height);
