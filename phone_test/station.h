// What the station's program needs from the platform, behind small portable helpers: files whose
// lines survive a crash, a terminal test, the stop signals, the time of day.
#pragma once

#include <cstdio>
#include <string>

namespace phone_test {

// A file opened for appending whole lines: each line goes out in one write, then to the disk
// (fsync, _commit on Windows), so that a program killed at any moment leaves every earlier line
// whole and no partial one.
class LineFile {
 public:
  LineFile() = default;
  LineFile(const LineFile &) = delete;
  LineFile &operator=(const LineFile &) = delete;
  ~LineFile();

  bool open(const std::string &path, std::string &error);
  bool append(const std::string &line, std::string &error);
  // Nothing in the file when it was opened.
  bool wasEmpty() const { return wasEmpty_; }

 private:
  int fd_ = -1;
  bool wasEmpty_ = true;
  std::string path_;
};

// Whether `path` can be opened for writing; a file this check creates is removed again.
bool canWrite(const std::string &path, std::string &error);

bool isTerminal(std::FILE *f);

// SIGINT and SIGTERM (and Ctrl+C on Windows) only ask the run to stop: the step under way
// finishes, the call is ended and the test set released. A second signal asks the same again.
// `restart`: a system call under way goes on (while VISA works); without it, a wait for input
// ends.
void installStopHandlers(bool restart);
bool stopRequested();

// The current time in UTC, ISO 8601 with milliseconds: "2026-12-08T17:03:40.123Z".
std::string utcNow();

}  // namespace phone_test
