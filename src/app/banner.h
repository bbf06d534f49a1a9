// The two fixed screens: the framed banner of a start without arguments, and the help text
// that follows it (or stands alone for "-?") before ReadMe.txt is opened for the user.
#pragma once

class Platform;

// Prints the banner box, then everything PrintHelp does.
void PrintBanner(Platform& platform);

// Prints the help text and asks the desktop to open "ReadMe.txt" from the current directory.
void PrintHelp(Platform& platform);
