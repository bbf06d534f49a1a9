// Folder trees deeper than one system call's path limit: made and removed from open folder
// handles, and reached by the test's ordinary file tools through short chains of links.
#pragma once

#include <string>

// Returns relative: levels folder names of width bytes each ("aaa...D/bbb...D/..."), joined
// by "/".
std::string DeepRelativePath(int levels, int width);

// Makes every missing folder of root/relative one level at a time, each from the handle of
// the one above, however long the whole path grows. Fails the calling test when one cannot
// be made.
void MakeDeepFolders(const std::string& root, const std::string& relative);

// Returns a path short enough for any system call that leads to root/relative (which need
// not exist yet) through links made in root, named ".hop<N>".
std::string ShortAlias(const std::string& root, const std::string& relative);

// Removes path and everything below it, walking from open folder handles, so that neither
// depth nor a read-only folder stops it; a link is removed, never followed.
void RemoveTree(const std::string& path);
