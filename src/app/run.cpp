#include "app/run.h"

#include <cstdio>

#include "app/banner.h"
#include "app/hints.h"
#include "app/options.h"
#include "batch/collect.h"
#include "batch/convert.h"
#include "batch/progress.h"
#include "batch/report.h"
#include "settings/convert_settings.h"

int RunXevra(int argc, char** argv, Platform& platform) {
  if (argc <= 1) {
    PrintBanner(platform);
    return 0;
  }
  Reporter reporter(platform, stderr);
  for (const std::string& hint : ArgumentHints(argc, argv, platform)) reporter.Say(hint);
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
  std::fflush(stdout);
  int status = 0;
  if (count == 0) {
    reporter.Say(NothingFoundText(job, settings.m_bSubfolders != 0, platform));
  } else {
    reporter.Start(count);
    // A batch in which any file was not converted must not pass for a success: a script
    // such as "xevra s=in/*.bmp d=out && rm -r in" would delete what was never converted.
    if (!ConvertFiles(job, settings, platform, &reporter)) status = 1;
    reporter.Finish();
    job.m_files.clear();
    job.m_files.shrink_to_fit();
  }
  std::fflush(stdout);
  return status;
}
