// The eight EXIF orientations (flips and quarter turns) as a stage that holds the whole image
// and yields it transformed, plus their composition so that a page's orientation and a
// quarter-turn rotation cost one pass.
#pragma once

#include <memory>

#include "codec/pipeline/row_source.h"

// Returns true when orientation (EXIF 1..8) swaps width and height.
bool OrientationTransposes(int orientation);

// Returns the orientation equal to applying first and then second; 1 for invalid values.
int ComposeOrientations(int first, int second);

// Returns the orientation that turns an image quarterTurns * 90 degrees clockwise.
int QuarterTurnOrientation(int quarterTurns);

// Returns a stage yielding source with orientation applied (source itself for 1 or an
// invalid value).
std::unique_ptr<RowSource> MakeOrientStage(std::unique_ptr<RowSource> source, int orientation);
