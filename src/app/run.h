// One whole run of the program, from the arguments to the exit status.
#pragma once

#include "platform/platform.h"

// Runs the program on argv as main received it. Returns the exit status: 0 when every
// collected file was converted (also when none was found, and for the banner and help), 1
// when any was not.
int RunXevra(int argc, char** argv, Platform& platform);
