// Builds the chain of stages that turns one decoded page into the rows a writer stores:
// colour normalisation, resize, the page's orientation with quarter-turn rotations, and any
// other rotation, sized from a save record's header.
#pragma once

#include <memory>

#include "codec/decoder.h"
#include "codec/pipeline/row_source.h"
#include "settings/save_info.h"

// Outputs wider or taller than this are refused.
constexpr long long kMaxOutputSide = 65535;

// Returns the size an oriented sourceWidth x sourceHeight image is resized to by header
// (before rotation), at least 1 x 1.
void TargetSize(const SaveHeader& header, int sourceWidth, int sourceHeight, long long* width,
                long long* height);

// Returns true and the final output size of a page with geometry saved with header; false
// when it would exceed kMaxOutputSide.
bool OutputSize(const SaveHeader& header, const PageGeometry& geometry, int* width, int* height);

// Returns the stages yielding page header.nPage of decoder as header asks, in channels (1:
// gray, 3: RGB), with the started page's info (ICC, EXIF) in *info; nullptr when the page
// cannot be started or the output would be too large. The decoder may borrow cores (null:
// none) while it reads the page.
std::unique_ptr<RowSource> BuildPipeline(Decoder& decoder, const SaveHeader& header, int channels,
                                         PageInfo* info, CoreBudget* cores = nullptr);
