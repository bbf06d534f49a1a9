#include "batch/update.h"

#include <cstdint>

#include "batch/output_path.h"

std::vector<std::string> OutputsOf(const std::string& wanted, bool separatePages, int pageCount,
                                   const std::string& extension) {
  if (!separatePages || pageCount < 2) return {wanted};
  std::vector<std::string> outputs;
  for (int page = 0; page < pageCount; ++page) {
    outputs.push_back(PagePath(wanted, page, extension));
  }
  return outputs;
}

bool UpToDate(const std::vector<std::string>& outputs, const std::string& source,
              Platform& platform) {
  int64_t sourceTime = 0;
  if (!platform.ModifiedTime(source, &sourceTime)) return false;
  for (const std::string& output : outputs) {
    int64_t outputTime = 0;
    if (!platform.ModifiedTime(output, &outputTime) || outputTime < sourceTime) return false;
  }
  return true;
}
