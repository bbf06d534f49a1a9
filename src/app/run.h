// One whole run of the program, from the arguments to the exit status.
#pragma once

#include "platform/platform.h"

// Runs the program on argv as main received it. Returns the exit status: 0.
int RunXevra(int argc, char** argv, Platform& platform);
