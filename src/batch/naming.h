// Output naming: what happens when an output's name is already taken. A name counts as taken
// when a folder of that name exists, whoever may write it, or a file that may be written; a
// read-only file counts as free, since nothing would ever be written over it.
#pragma once

#include <string>

#include "platform/platform.h"

// Returns name itself when it is free, else the first free "<stem>(N)<extension>" for
// N = 1, 2, ...; stem is name up to its last "." within its last path component. Never
// fails; nothing is reserved.
std::string MakeUniqueName(std::string name, std::string extension, Platform& platform);

// Deletes path when it is taken. Returns non-zero when a file was deleted, 0 otherwise (also
// for a missing or read-only file, a folder, a refusal, or an exception on the way).
int DeleteExisting(std::string path, Platform& platform);
