#include "batch/collect.h"

void CollectSourceFiles(CConvertJob& /*job*/, int /*subfolders*/, Platform& /*platform*/) {}
