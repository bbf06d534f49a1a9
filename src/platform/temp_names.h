// The names of temporary output files, and the removal of those that killed runs left behind.
#pragma once

#include <string>

// Returns the template for a new temporary file in folder: the name format of temp_names.cpp
// with six "X" before ".tmp", for mkstemps to fill in.
std::string TempFileTemplate(const std::string& folder);

// Removes from the folder of handle folder the temporary files of this program that no
// running xevra owns (see temp_names.cpp for how an owner is told). Returns nothing; a folder
// that cannot be read, or a file that cannot be removed, is left as it is.
void SweepTempLeftovers(int folder);
