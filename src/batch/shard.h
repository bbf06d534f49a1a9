// Parts of a batch ("-shardK/N"): every collected file belongs to exactly one of N parts, and
// the parts, run anywhere and in any order into one destination, write together what one run
// writes. Files whose outputs could compete for a name (a.bmp, a.png and a(1).tif all want
// a.jpg or a counter of it; the pages of a.gif want a_p0.jpg ...) always share a part, so each
// part makes the naming decisions of its own files exactly as one run would. The part comes
// from a fixed hash of text alone, so every machine and every build agrees on it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "settings/path_list.h"

// Returns the 64-bit FNV-1a hash of text; the same on every machine and build.
uint64_t StableHash(std::string_view text);

// Returns the text that decides the part of an output whose path relative to the destination
// is outputRelative and whose extension (the output format's, as ".jpg") is extension: its
// folder, "/", and its name less the extension and less every trailing "(n)" counter and
// "_pN" page suffix, with ASCII letters in lower case so that names that a case-blind file
// system would confuse share a part too.
std::string ShardKey(const std::string& outputRelative, const std::string& extension);

// Returns the part (0 to count-1) of key among count parts; 0 when count is below 2.
int ShardOf(std::string_view key, int count);

// Returns the entries of files that fall into part index of count, in their order. sourceFolder
// is the full path every entry begins with, extension the output format's; with singleFile
// non-empty every output is that one file, so all entries share one part. An index outside
// 0 to count-1 keeps nothing.
PathList KeepShard(const PathList& files, const std::string& sourceFolder,
                   const std::string& extension, const std::string& singleFile, int index,
                   int count);
