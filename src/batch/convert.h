// The conversion driver: turns a job's file list into output files below its destination.
#pragma once

#include "settings/convert_settings.h"

// Converts every entry of job.m_files as settings say, reporting each file's progress.
void ConvertFiles(CConvertJob& job, CConvertSettings& settings);
