// What the fault cases share: a source and a destination folder, the program run on them,
// and a look at what it left behind.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/process.h"

class FaultTest : public testing::Test {
 protected:
  void SetUp() override;
  // Runs xevra on src/ and out/ with the extra arguments.
  ProcessResult Convert(const std::vector<std::string>& extra, const ProcessLimits& limits = {});
  // Every name below root, relative, sorted; folders end in "/".
  static std::vector<std::string> Tree(const std::string& root);
  // Returns the progress lines (after the found-count line and its empty line).
  static std::vector<std::string> ProgressLines(const std::string& out);
  // Returns the temporary files left anywhere below root.
  static std::vector<std::string> Leftovers(const std::string& root);

  TempDir dir_;
  std::string src_ = dir_ / "src";
  std::string out_ = dir_ / "out";
};
