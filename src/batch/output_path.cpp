#include "batch/output_path.h"

#include "platform/text.h"
#include "settings/convert_settings.h"

namespace {

size_t LastComponentStart(const std::string& path) {
  size_t slash = FindLastChar(path, '/');
  return slash == std::string::npos ? 0 : slash + 1;
}

// Returns the position of the last "." of path's last component, counted from the start of
// that component, or npos.
size_t DotInLastComponent(const std::string& path) {
  size_t start = LastComponentStart(path);
  size_t dot = FindLastChar(std::string_view(path).substr(start), '.');
  return dot;
}

}  // namespace

std::string FormatExtension(int format) {
  switch (format) {
    case kFormatBmp:
      return ".bmp";
    case kFormatTif:
      return ".tif";
    case kFormatGif:
      return ".gif";
    case kFormatJpg:
      return ".jpg";
    default:
      return std::string();
  }
}

std::string DisplayName(const std::string& path) { return path.substr(LastComponentStart(path)); }

std::string FolderOf(const std::string& path) {
  size_t slash = FindLastChar(path, '/');
  if (slash == std::string::npos) return std::string();
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string RelativePath(const std::string& entry, const std::string& folder) {
  if (folder.empty() || entry.compare(0, folder.size(), folder) != 0) return DisplayName(entry);
  std::string relative = entry.substr(folder.size());
  if (!relative.empty() && relative[0] == '/') relative.erase(0, 1);
  return relative;
}

std::string ApplyExtension(const std::string& relativePath, const std::string& outputPath,
                           const std::string& extension) {
  // Only the file's own name can carry an extension: a "." in a folder name (X.Y/readme) or
  // a leading one (.hidden) is part of the name.
  size_t a = DotInLastComponent(relativePath);
  size_t b = DotInLastComponent(outputPath);
  std::string result = outputPath;
  if (a != std::string::npos && a > 0 && b != std::string::npos && b > 0) {
    result.erase(LastComponentStart(outputPath) + b);
  }
  return result + extension;
}

std::string PagePath(const std::string& outputPath, int page, const std::string& extension) {
  size_t dot = DotInLastComponent(outputPath);
  std::string stem = dot == std::string::npos
                         ? outputPath
                         : outputPath.substr(0, LastComponentStart(outputPath) + dot);
  return stem + "_p" + std::to_string(page) + extension;
}
