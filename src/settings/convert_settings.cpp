#include "settings/convert_settings.h"

#include <cstring>

void InitConvertSettings(CConvertSettings& settings) {
  settings.m_nFormat = kFormatJpg;
  InitSaveInfo(settings.m_bmp);
  InitSaveInfo(settings.m_tif);
  InitSaveInfo(settings.m_gif);
  InitSaveInfo(settings.m_jpg);
  settings.m_bOverwrite = 0;
  settings.m_bSubfolders = 0;
  settings.m_bSeparatePages = 0;
  settings.m_bSingleFile = 0;
  std::memset(settings.m_szSingleFile, 0, sizeof settings.m_szSingleFile);
  settings.m_nJobs = 0;
  settings.m_bUpdate = 0;
  settings.m_nShardIndex = 0;
  settings.m_nShardCount = 0;
}
