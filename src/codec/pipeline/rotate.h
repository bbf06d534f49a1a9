// Rotation by any angle: quarter turns are exact pixel moves (see orient.h); other angles
// turn about the centre onto a canvas enlarged to fit, with white corners, bilinear.
#pragma once

#include <memory>

#include "codec/pipeline/row_source.h"

// How a clockwise angle in degrees decomposes: non-finite angles mean no rotation.
struct RotationPlan {
  int quarterTurns = 0;  // 0..3, used when exact
  bool exact = true;     // the angle is a multiple of 90 degrees
  double degrees = 0;    // the angle normalised to [0, 360)
};

// Returns how degrees should be applied.
RotationPlan PlanRotation(double degrees);

// Returns the canvas size that holds a width x height image turned by plan.
void RotatedSize(const RotationPlan& plan, int width, int height, long long* outWidth,
                 long long* outHeight);

// Returns a stage yielding source turned by plan onto a canvas of width x height (from
// RotatedSize), holding the whole source; exact plans go through MakeOrientStage instead.
std::unique_ptr<RowSource> MakeRotateStage(std::unique_ptr<RowSource> source,
                                           const RotationPlan& plan, int width, int height);
