#include "app/run.h"

#include <cstdio>
#include <cstring>
#include <string>

#include "app/banner.h"
#include "app/hints.h"
#include "app/options.h"
#include "batch/collect.h"
#include "batch/convert.h"
#include "batch/output_path.h"
#include "batch/progress.h"
#include "batch/report.h"
#include "batch/shard.h"
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
  // A part is taken from the whole list, so that every part sees the same files and the
  // parts' counts add up to one run's.
  bool partOutOfRange = false;
  if (settings.m_nShardCount >= 1) {
    std::string singleFile =
        settings.m_bSingleFile != 0
            ? std::string(settings.m_szSingleFile,
                          strnlen(settings.m_szSingleFile, sizeof settings.m_szSingleFile))
            : std::string();
    job.m_files = KeepShard(job.m_files, SourceFolderFullPath(job, platform),
                            FormatExtension(settings.m_nFormat), singleFile, settings.m_nShardIndex,
                            settings.m_nShardCount);
    partOutOfRange = settings.m_nShardIndex < 0 || settings.m_nShardIndex >= settings.m_nShardCount;
  }
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
  // A part that does not exist (an array numbered from 1 instead of 0) must not pass for
  // a success while the part it should have been is never converted.
  if (partOutOfRange) status = 1;
  std::fflush(stdout);
  return status;
}
