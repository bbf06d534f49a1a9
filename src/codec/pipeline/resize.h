// Resampling: a separable Lanczos-3 filter whose support widens with the downscale factor,
// weights precomputed once in fixed point, holding only a ring of rows as tall as the filter.
#pragma once

#include <memory>

#include "codec/pipeline/row_source.h"

// Returns a stage yielding source resampled to width x height (both at least 1), or source
// itself when it already has that size.
std::unique_ptr<RowSource> MakeResizeStage(std::unique_ptr<RowSource> source, int width,
                                           int height);
