// Puts the simulated test set in VISA's place without touching the library's own binding: the
// library loads VISA by its bare name from the loader path, so this program runs itself once
// more with the simulator's folder first on LD_LIBRARY_PATH (on Windows: first in the DLL
// search path, after the program's own folder).
#pragma once

#include <string>

#include "options.h"

namespace phone_test {

// In the parent: sets up the environment and replaces this process with a fresh run of the
// program; returns only on failure, false with a message. In that fresh run (and on Windows):
// returns true with the simulator's folder in `folder`.
bool useSimulator(char **argv, const Options &options, std::string &folder, std::string &error);

}  // namespace phone_test
