// The work folder: where the program keeps its settings file, the default disk of
// drive A, the BIOS image and the disks that the system manager and the remote
// disk server mount. It is a folder named after the program inside the folder
// that the environment variable PUBLIC names, followed by "Documents"; where
// PUBLIC is not set, inside the user's documents folder.
#pragma once

#include <string>

// Text with Character appended, unless Text is empty or already ends with it.
std::string IncludeTrailingChar(const std::string& Text, char Character);

// The work folder for ApplicationName, created with all missing parents, ending
// in the path separator; empty when it cannot be made.
std::string GetDefaultWorkPath(const std::string& ApplicationName);

// The program's name as the work folder and the settings file use it: the
// executable's file name without its extension.
std::string GetProgramName();
