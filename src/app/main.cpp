#include <clocale>

#include "app/run.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  // Paths and keys are stepped through in the user's multibyte encoding.
  std::setlocale(LC_ALL, "");
  return RunXevra(argc, argv, SystemPlatform());
}
