// Source collection: fills a job's file list with the full path of every file that matches
// its mask in the source folder (and, on request, in every folder below it).
#pragma once

#include "platform/platform.h"
#include "settings/convert_settings.h"

// Appends the matching files of job.m_strSource to job.m_files; with subfolders non-zero also
// those of every folder below it, depth first. Reports nothing; restores the current
// directory.
void CollectSourceFiles(CConvertJob& job, int subfolders, Platform& platform = SystemPlatform());
