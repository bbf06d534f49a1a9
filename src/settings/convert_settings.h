// What one run converts (CConvertJob) and how (CConvertSettings). main owns one of each for
// the whole run and hands them by reference to the collection and the conversion driver.
#pragma once

#include <cstdint>
#include <string>

#include "settings/path_list.h"
#include "settings/save_info.h"

// Output format codes; the driver dispatches on m_nFormat.
enum OutputFormat : int32_t { kFormatBmp = 0, kFormatTif = 1, kFormatGif = 2, kFormatJpg = 3 };

struct CConvertSettings {
  int32_t m_nFormat;
  _SAVEIMAGEINFO::_BMP m_bmp;
  _SAVEIMAGEINFO::_TIF m_tif;
  _SAVEIMAGEINFO::_GIF m_gif;
  _SAVEIMAGEINFO::_JPG m_jpg;
  int32_t m_bOverwrite;
  int32_t m_bSubfolders;
  int32_t m_bSeparatePages;
  int32_t m_bSingleFile;     // every output goes into the one file m_szSingleFile
  char m_szSingleFile[512];  // NUL-terminated
  int32_t m_nJobs;           // conversions at once; below 1: one per processor
  int32_t m_bUpdate;         // outputs keep their names; up-to-date sources are skipped
  int32_t m_nShardIndex;     // with m_nShardCount >= 1: the part of the batch this run converts
  int32_t m_nShardCount;     // parts the batch is split into; 0: no split
};

// Sets every field to its default: JPEG output, quality 75, 24 bits, no size, flags off.
void InitConvertSettings(CConvertSettings& settings);

struct CConvertJob {
  std::string m_strSource;  // source folder
  std::string m_strDest;    // destination folder
  std::string m_strMask;    // file-name pattern, "*.*" when none was given
  PathList m_files;         // full paths of the collected source files
};
