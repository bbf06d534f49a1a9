#include "app/banner.h"

#include <cstdio>

#include "platform/platform.h"

namespace {

constexpr const char* kBannerPieces[] = {
    "\n//===========================================================================//\n",
    "//                                                                           //\n",
    "//                         Orvane Group International                        //\n",
    "//                                                                           //\n",
    "//                             www.orvane.example                            //\n",
    "//                                                                           //\n",
    "//===========================================================================//\n",
    "\n",
};

constexpr const char* kHelpPieces[] = {
    " You can get all info about this program from the Readme.txt file.\n",
    " This file distributed in XEVRA.EXE kit and can be found in XEVRA.EXE folder.\n",
    "\n",
    " Do you have any troubles or questions?\n",
    " Feel free to send them by e-mail: support@orvane.example\n",
    "\n",
    "                                                With best regards,\n",
    "                                                Orvane Team\n",
};

}  // namespace

void PrintBanner(Platform& platform) {
  for (const char* piece : kBannerPieces) std::fputs(piece, stdout);
  PrintHelp(platform);
}

void PrintHelp(Platform& platform) {
  for (const char* piece : kHelpPieces) std::fputs(piece, stdout);
  platform.OpenDocument("ReadMe.txt");
}
