// Puts the simulated test set in VISA's place (or, for --real-visa --trace, the trace VISA in
// front of the machine's) without touching the library's own binding: the library loads VISA by
// its bare name from the loader path, so this program runs itself once more with that folder
// first on LD_LIBRARY_PATH (on Windows: first in the DLL search path, after the program's own
// folder).
#pragma once

#include <string>

#include "options.h"

namespace phone_test {

// In the parent: sets up the environment and replaces this process with a fresh run of the
// program; returns only on failure, false with a message. In that fresh run (and on Windows):
// returns true with the folder in `folder`.
bool useVisaFolder(char **argv, const Options &options, std::string &folder, std::string &error);

}  // namespace phone_test
