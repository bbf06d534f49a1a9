// The text rules that turn a source entry into its output path.
#pragma once

#include <string>

// Returns the extension of output format code format (".jpg" for JPEG), empty for an
// unknown code.
std::string FormatExtension(int format);

// Returns the text after the last "/" of path, or all of path when it has none.
std::string DisplayName(const std::string& path);

// Returns the folder part of path: everything before its last "/", the root "/" when that is
// the first character, empty when path has no "/".
std::string FolderOf(const std::string& path);

// Returns entry less the folder prefix and one following "/"; entry's own name when it does
// not begin with folder.
std::string RelativePath(const std::string& entry, const std::string& folder);

// Returns outputPath with its extension replaced by extension when both the relative path's
// and the output path's last components carry an extension (a "." after their first
// character), and with extension appended otherwise.
std::string ApplyExtension(const std::string& relativePath, const std::string& outputPath,
                           const std::string& extension);

// Returns the output path of page page: "<path less its extension>_p<page><extension>".
std::string PagePath(const std::string& outputPath, int page, const std::string& extension);
