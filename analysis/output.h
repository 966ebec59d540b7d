// A report file written whole: beside its target and renamed over it, so that a failed write
// leaves the old file (or none), never half a report. Only a regular file (or none) is replaced
// that way; a symbolic link is followed and its target replaced; a character device or a pipe
// (/dev/stdout, /dev/full, a FIFO, a shell's process substitution) is written in place; anything
// else (a directory, a block device, a socket) is refused.
#pragma once

#include <string>
#include <string_view>

namespace zolvane::analysis {

// Whether `path` can take a report, without writing anything: for a check before the test set
// is touched. error: "cannot open PATH for writing: why".
bool checkOutput(const std::string &path, std::string &error);

// Writes `content` to `path` as above. error: "PATH: cannot be written: why".
bool writeOutput(const std::string &path, std::string_view content, std::string &error);

}  // namespace zolvane::analysis
