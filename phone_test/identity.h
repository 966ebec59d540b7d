// What a record says about where it was made: the machine, the VISA library bound, the
// simulator's settings.
#pragma once

#include <map>
#include <string>

namespace phone_test {

// The machine's name ("" when the system will not say).
std::string hostName();

// The VISA library the Zolvane library bound, as a path: the first loaded module that exports
// viOpenDefaultRM (on Windows: the visa32.dll loaded). Empty when none is loaded.
std::string boundVisa();

// The simulator settings given, name to value as written: the ZOLVANE_SIM file, then
// ZOLVANE_SIM_OPTIONS, then `options` (--sim-options); a later one wins. The simulator's own
// parser has checked them already.
std::map<std::string, std::string> simulatorSettings(const std::string &options);

}  // namespace phone_test
