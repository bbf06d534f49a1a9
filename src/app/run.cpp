#include "app/run.h"

#include <cstdio>

#include "app/banner.h"
#include "app/options.h"
#include "batch/collect.h"
#include "batch/convert.h"
#include "batch/progress.h"
#include "settings/convert_settings.h"

int RunXevra(int argc, char** argv, Platform& platform) {
  if (argc <= 1) {
    PrintBanner(platform);
    return 0;
  }
  CConvertSettings settings;
  InitConvertSettings(settings);
  CConvertJob job;
  if (ApplyArguments(argc, argv, settings, job, platform)) {
    PrintHelp(platform);
    return 0;
  }
  if (job.m_strDest.empty()) job.m_strDest = job.m_strSource;
  CollectSourceFiles(job, settings.m_bSubfolders, platform);
  int count = static_cast<int>(job.m_files.size());
  PrintFoundCount(count);
  if (count != 0) {
    ConvertFiles(job, settings);
    job.m_files.clear();
    job.m_files.shrink_to_fit();
  }
  std::fflush(stdout);
  return 0;
}
