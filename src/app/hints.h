// Advice for people on the command line as it was given: arguments that most probably do not
// do what their writer meant, and a search that found nothing. Advice never changes what the
// arguments do; it is only words for standard error.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"
#include "settings/convert_settings.h"

// Returns one line of advice for each of argv[1..argc-1] that holds no key, a numeric switch
// whose number cannot be read, or a key the writer probably did not mean ("--help" read as
// the height switch, "-cd=8" read as a destination, "s=photos" naming a folder as a mask);
// empty when every argument looks as meant.
std::vector<std::string> ArgumentHints(int argc, char** argv, Platform& platform);

// Returns the line that tells why a search found nothing: no source given, a source folder
// that cannot be entered, or the folder and mask that matched no file.
std::string NothingFoundText(const CConvertJob& job, bool subfolders, Platform& platform);
