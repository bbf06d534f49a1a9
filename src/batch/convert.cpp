#include "batch/convert.h"

void ConvertFiles(CConvertJob& /*job*/, CConvertSettings& /*settings*/) {}
