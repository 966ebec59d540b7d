#include "trace_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "trace_format.h"

#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace zolvane::trace_format {

#if defined(_WIN32)

TraceFile::~TraceFile() {
  if (own_ && handle_) CloseHandle(static_cast<HANDLE>(handle_));
}

bool TraceFile::open(const std::string &path, std::string &error) {
  if (path == "-") {
    useStandardError();
    return true;
  }
  // FILE_APPEND_DATA alone: every WriteFile lands at the end of the file as one piece.
  HANDLE h = CreateFileA(path.c_str(), FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = "cannot append to " + path + " (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  handle_ = h;
  own_ = open_ = true;
  name_ = path;
  return true;
}

void TraceFile::useStandardError() {
  handle_ = GetStdHandle(STD_ERROR_HANDLE);
  own_ = false;
  open_ = true;
  name_ = "standard error";
}

bool TraceFile::writeAll(const std::string &bytes) {
  DWORD done = 0;
  return WriteFile(static_cast<HANDLE>(handle_), bytes.data(), static_cast<DWORD>(bytes.size()), &done,
                   nullptr) &&
         done == bytes.size();
}

#else

TraceFile::~TraceFile() {
  if (own_ && fd_ >= 0) ::close(fd_);
}

bool TraceFile::open(const std::string &path, std::string &error) {
  if (path == "-") {
    useStandardError();
    return true;
  }
  int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = "cannot append to " + path + ": " + std::strerror(errno);
    return false;
  }
  fd_ = fd;
  own_ = open_ = true;
  name_ = path;
  return true;
}

void TraceFile::useStandardError() {
  fd_ = STDERR_FILENO;
  own_ = false;
  open_ = true;
  name_ = "standard error";
}

// One write(): a short one is not continued, since its rest would land after other writers'.
bool TraceFile::writeAll(const std::string &bytes) {
  ssize_t n;
  do {
    n = ::write(fd_, bytes.data(), bytes.size());
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(bytes.size());
}

#endif

void TraceFile::write(std::string line) {
  if (!open_) return;
  capLine(line);
  line += '\n';
  std::lock_guard<std::mutex> lock(mu_);
  if (torn_) line.insert(line.begin(), '\n');
  const int saved = errno;
  errno = 0;
  const bool whole = writeAll(line);
  const char *why = errno ? std::strerror(errno) : "written in part";
  errno = saved;  // the traced program's errno is its own
  torn_ = !whole;
  if (whole) return;
  if (failures_.fetch_add(1) == 0) {
    std::fprintf(stderr, "%s: cannot write the trace to %s (%s): records from here on may be lost; "
                 "the program carries on\n", program_.c_str(), name_.c_str(), why);
  }
}

}  // namespace zolvane::trace_format
