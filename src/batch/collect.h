// Source collection: fills a job's file list with the full path of every file that matches
// its mask in the source folder (and, on request, in every folder below it), each folder's
// own files in listing order before its sub-folders, depth first.
#pragma once

#include "platform/platform.h"
#include "settings/convert_settings.h"

// Appends the matching files of job.m_strSource to job.m_files; with subfolders non-zero also
// those of every folder below it. A folder that cannot be entered contributes nothing.
// Reports nothing; the current directory is the same afterwards.
void CollectSourceFiles(CConvertJob& job, int subfolders, Platform& platform);

// Returns the full path of the source folder as the collection writes it at the start of
// every entry (the folder's path once it is current); empty when it cannot be entered.
std::string SourceFolderFullPath(const CConvertJob& job, Platform& platform);
