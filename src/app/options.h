// The command line: every argument is matched against a fixed list of keys and applied to the
// run's settings and job; nothing is ever rejected.
#pragma once

#include <string>
#include <string_view>

#include "platform/platform.h"
#include "settings/convert_settings.h"

// Applies one argument: the first key found anywhere in it (in a lower-cased copy, keys tried
// in their fixed order) decides what it sets; an argument without a key changes nothing.
// Sets *help when the argument asks for the help screen.
void ApplyArgument(const std::string& argument, CConvertSettings& settings, CConvertJob& job,
                   bool* help, Platform& platform);

// Returns the key that decides what argument does ("s=", "-q", ... as ApplyArgument finds it);
// empty when the argument holds none.
std::string_view DecidingKey(const std::string& argument);

// Applies argv[1..argc-1] in order. Returns true when any of them asked for help.
bool ApplyArguments(int argc, char** argv, CConvertSettings& settings, CConvertJob& job,
                    Platform& platform);
