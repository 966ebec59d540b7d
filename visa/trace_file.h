// Where a trace goes: a file opened for appending, or standard error. Each line is capped
// (trace_format::capLine) and goes out in one write() with its line feed, so that the lines of
// several threads, and of several processes appending to one file, never mix (one write per line
// on a file opened with O_APPEND: Linux appends it whole on a local file system; NFS and Windows'
// CRT do not promise that, so there FILE_APPEND_DATA is used). A line that cannot be written is
// said once on standard error; the program carries on.
#pragma once

#include <atomic>
#include <mutex>
#include <string>

namespace zolvane::trace_format {

class TraceFile {
 public:
  // `program` starts every complaint on standard error ("zolvane trace").
  explicit TraceFile(std::string program) : program_(std::move(program)) {}
  ~TraceFile();
  TraceFile(const TraceFile &) = delete;
  TraceFile &operator=(const TraceFile &) = delete;

  // Opens `path` for appending, creating it; "-" is standard error. False with the reason.
  bool open(const std::string &path, std::string &error);
  void useStandardError();
  bool isOpen() const { return open_; }

  // Appends one line (without its line feed; capped here).
  void write(std::string line);

  // Lines that could not be written whole since the trace opened.
  unsigned long failures() const { return failures_.load(); }

 private:
  bool writeAll(const std::string &bytes);

  std::string program_;
  std::string name_ = "standard error";
  std::mutex mu_;
  bool open_ = false;
  bool own_ = false;
  bool torn_ = false;  // the last write went out in part: the next line starts on a fresh one
  std::atomic<unsigned long> failures_{0};
#if defined(_WIN32)
  void *handle_ = nullptr;
#else
  int fd_ = -1;
#endif
};

}  // namespace zolvane::trace_format
