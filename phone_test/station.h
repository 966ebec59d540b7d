// What the station's program needs from the platform, behind small portable helpers: files whose
// lines survive a crash, a terminal test, the stop signals, the time of day.
#pragma once

#include <cstdio>
#include <string>

namespace phone_test {

// A file opened for appending whole lines: each line goes out in one write, then to the disk
// (fsync, _commit on Windows), so that a program killed at any moment leaves every earlier line
// whole and no partial one. The descriptor is kept from the check at start-up to the end.
//
// In a regular file several programs may append at once: each append holds a lock on the file
// (flock), starts on a fresh line if the file ends in a partial one (a disk that filled, a power
// cut), writes `header` first if the file is empty, and a line that could not be written whole
// is cut off again. A pipe, FIFO or character device (/dev/stdout, /dev/null) takes the lines as
// they are: nothing to lock, cut back or sync there.
class LineFile {
 public:
  LineFile() = default;
  LineFile(const LineFile &) = delete;
  LineFile &operator=(const LineFile &) = delete;
  ~LineFile();

  bool open(const std::string &path, std::string &error);
  // `lines`: whole lines, each ending in a line feed. `header` goes first when the file is empty
  // (not a regular file: before the first lines this program writes).
  bool append(const std::string &lines, std::string &error, const std::string &header = {});
  // Nothing in the file when it was opened.
  bool wasEmpty() const { return wasEmpty_; }

 private:
  int fd_ = -1;
  bool regular_ = false;   // a regular file: locked, repaired, synced
  bool readable_ = false;  // its last byte can be read (opened for reading and writing)
  bool wasEmpty_ = true;
  bool headerWritten_ = false;
  std::string path_;
};

// Whether `path` can be opened for writing, found without creating, truncating or removing
// anything: an existing file is opened for appending and closed (a FIFO or device only asked
// about, so that no reader sees an end), a new one needs a writable folder. A folder is refused.
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
