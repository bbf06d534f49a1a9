// Update runs (-u): a source is left alone when everything it would write is already there
// and not older than the source, so that a batch, a part of one or a requeued task can be
// run again and writes only what is missing or stale.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

// Returns the outputs a source writes under its own names: wanted alone, or with page
// splitting and two pages or more, the page outputs of wanted.
std::vector<std::string> OutputsOf(const std::string& wanted, bool separatePages, int pageCount,
                                   const std::string& extension);

// Returns true when every one of outputs is a file whose modification time is not before
// source's; false when any is missing or older, or source cannot be examined.
bool UpToDate(const std::vector<std::string>& outputs, const std::string& source,
              Platform& platform);
