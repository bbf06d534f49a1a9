// The conversion driver: turns a job's file list into output files below its destination,
// mirroring the folders below the source folder, one progress line per file.
#pragma once

#include "platform/platform.h"
#include "settings/convert_settings.h"

class Reporter;

// Converts every entry of job.m_files as settings say, reporting each file's progress, and
// normalises job.m_strDest in place. Returns true when every entry was converted (every page
// of it, with page splitting); false when any was not, or when the destination folder could
// not be used and the batch was skipped. Says why each file was not converted through
// reporter (when not null), after that file's console line.
bool ConvertFiles(CConvertJob& job, CConvertSettings& settings, Platform& platform,
                  Reporter* reporter = nullptr);
