// Builds the chain of stages that turns one decoded page into the rows a writer stores:
// colour normalisation, resize, the page's orientation with quarter-turn rotations, and any
// other rotation, sized from a save record's header.
#pragma once

#include <cstdint>
#include <functional>
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

// Where another thread may take over a pipeline: given the stages built so far and the pixels of
// the larger of the decoded page and the output, returns what the later stages read from (the
// same stages when no thread is wanted); nullptr fails the build.
using RowBoundary =
    std::function<std::unique_ptr<RowSource>(std::unique_ptr<RowSource> stages, uint64_t pixels)>;

// An output with at most this fraction of the stored page's pixels costs little to resize the
// rest of the way and encode, next to decoding: the boundary then sits right after the decoder.
constexpr uint64_t kSplitAfterDecoderReduction = 4;

// Returns the stages yielding page header.nPage of decoder as header asks, in channels (1:
// gray, 3: RGB), with the started page's info (ICC, EXIF) in *info; nullptr when the page
// cannot be started or the output would be too large. The decoder may borrow cores (null:
// none) while it reads the page. A boundary, when given, is placed once: right after the
// decoder when the output is a strong reduction of the page, else after the last stage.
std::unique_ptr<RowSource> BuildPipeline(Decoder& decoder, const SaveHeader& header, int channels,
                                         PageInfo* info, CoreBudget* cores = nullptr,
                                         const RowBoundary& boundary = nullptr);
