#include "station.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <ctime>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace phone_test {
namespace {

volatile std::sig_atomic_t stopFlag = 0;

extern "C" void onStopSignal(int signal) {
  stopFlag = 1;
#if defined(_WIN32)
  // The C run-time resets a handler to the default before calling it.
  std::signal(signal, onStopSignal);
#else
  (void)signal;
#endif
}

#if defined(_WIN32)
using Offset = __int64;
constexpr const char *kSeparators = "/\\";
#else
using Offset = off_t;
constexpr const char *kSeparators = "/";
#endif

// What is at a path: nothing (`error` says why), a folder, a regular file, or something else (a
// FIFO, a device, a socket).
struct Kind {
  bool exists = false, folder = false, regular = false;
  int error = 0;
};

Kind kindOf(const std::string &path) {
  Kind k;
#if defined(_WIN32)
  struct _stat64 st;
  if (_stat64(path.c_str(), &st) != 0) {
    k.error = errno;
    return k;
  }
  k.folder = (st.st_mode & _S_IFMT) == _S_IFDIR;
  k.regular = (st.st_mode & _S_IFMT) == _S_IFREG;
#else
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    k.error = errno;
    return k;
  }
  k.folder = S_ISDIR(st.st_mode);
  k.regular = S_ISREG(st.st_mode);
#endif
  k.exists = true;
  return k;
}

int openAppend(const std::string &path, bool create, bool read) {
#if defined(_WIN32)
  int flags = (read ? _O_RDWR : _O_WRONLY) | _O_APPEND | _O_BINARY | (create ? _O_CREAT : 0);
  return _open(path.c_str(), flags, _S_IREAD | _S_IWRITE);
#else
  int flags = (read ? O_RDWR : O_WRONLY) | O_APPEND | O_CLOEXEC | (create ? O_CREAT : 0);
  return ::open(path.c_str(), flags, 0644);
#endif
}

void closeFile(int fd) {
#if defined(_WIN32)
  _close(fd);
#else
  ::close(fd);
#endif
}

bool isRegular(int fd) {
#if defined(_WIN32)
  struct _stat64 st;
  return _fstat64(fd, &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG;
#else
  struct stat st;
  return ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
#endif
}

Offset sizeOf(int fd) {
#if defined(_WIN32)
  struct _stat64 st;
  return _fstat64(fd, &st) == 0 ? st.st_size : 0;
#else
  struct stat st;
  return ::fstat(fd, &st) == 0 ? st.st_size : 0;
#endif
}

// Whether a file of `size` bytes ends in a partial line; unknown counts as no.
bool endsInPartialLine(int fd, Offset size) {
  char last = '\n';
#if defined(_WIN32)
  if (_lseeki64(fd, size - 1, SEEK_SET) != size - 1 || _read(fd, &last, 1) != 1) return false;
#else
  if (::pread(fd, &last, 1, size - 1) != 1) return false;
#endif
  return last != '\n';
}

bool cutBack(int fd, Offset size) {
#if defined(_WIN32)
  return _chsize_s(fd, size) == 0;
#else
  return ::ftruncate(fd, size) == 0;
#endif
}

// Every byte, or false with errno set.
bool writeAll(int fd, const std::string &text) {
  const char *p = text.data();
  std::size_t left = text.size();
  while (left > 0) {
#if defined(_WIN32)
    int n = _write(fd, p, static_cast<unsigned>(left));
#else
    ssize_t n = ::write(fd, p, left);
    if (n < 0 && errno == EINTR) continue;
#endif
    if (n < 0) return false;
    if (n == 0) {
      errno = ENOSPC;
      return false;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

// Holds an exclusive lock on a file among the programs that lock it too (every station's
// LineFile); where the file system has no locks, nothing is held.
class FileLock {
 public:
  explicit FileLock(int fd) : fd_(fd) {
#if defined(_WIN32)
    OVERLAPPED at{};
    LockFileEx(handle(), LOCKFILE_EXCLUSIVE_LOCK, 0, MAXDWORD, MAXDWORD, &at);
#else
    while (::flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
#endif
  }
  FileLock(const FileLock &) = delete;
  FileLock &operator=(const FileLock &) = delete;
  ~FileLock() {
#if defined(_WIN32)
    OVERLAPPED at{};
    UnlockFileEx(handle(), 0, MAXDWORD, MAXDWORD, &at);
#else
    ::flock(fd_, LOCK_UN);
#endif
  }

 private:
#if defined(_WIN32)
  HANDLE handle() const { return reinterpret_cast<HANDLE>(_get_osfhandle(fd_)); }
#endif
  int fd_;
};

std::string cannotOpen(const std::string &path, int error) {
  return "cannot open " + path + " for writing: " + std::strerror(error);
}

}  // namespace

LineFile::~LineFile() {
  if (fd_ >= 0) closeFile(fd_);
}

bool LineFile::open(const std::string &path, std::string &error) {
  path_ = path;
  Kind kind = kindOf(path);
  // Read access only to see the last byte of a regular file; a FIFO is opened for writing alone,
  // as its reader expects.
  readable_ = !kind.exists || kind.regular;
  fd_ = openAppend(path, true, readable_);
  if (fd_ < 0 && readable_ && errno == EACCES) {  // a file this user may write but not read
    readable_ = false;
    fd_ = openAppend(path, true, false);
  }
  if (fd_ < 0) {
    error = cannotOpen(path, errno);
    return false;
  }
  regular_ = isRegular(fd_);
  readable_ = readable_ && regular_;
  wasEmpty_ = !regular_ || sizeOf(fd_) == 0;
  return true;
}

bool LineFile::append(const std::string &lines, std::string &error, const std::string &header) {
  if (!regular_) {
    const std::string &out = headerWritten_ ? lines : header + lines;
    if (!writeAll(fd_, out)) {
      error = "cannot write to " + path_ + ": " + std::strerror(errno);
      return false;
    }
    headerWritten_ = true;
    return true;
  }
  FileLock lock(fd_);
  const Offset size = sizeOf(fd_);
  std::string out;
  if (size == 0) {
    out = header;
  } else if (readable_ && endsInPartialLine(fd_, size)) {
    // What a failed writer left stays a line of its own, ended as these lines are (CRLF in CSV).
    out = lines.size() >= 2 && lines.compare(lines.size() - 2, 2, "\r\n") == 0 ? "\r\n" : "\n";
  }
  out += lines;
  if (!writeAll(fd_, out)) {
    int cause = errno;
    error = "cannot write to " + path_ + ": " + std::strerror(cause);
    error += cutBack(fd_, size) ? "; the partial record was removed"
                                : "; a partial record remains: the next starts on a fresh line";
    return false;
  }
#if defined(_WIN32)
  int synced = _commit(fd_);
#else
  int synced = ::fsync(fd_);
#endif
  if (synced != 0) {
    error = "cannot flush " + path_ + " to the disk: " + std::strerror(errno);
    return false;
  }
  return true;
}

bool canWrite(const std::string &path, std::string &error) {
  Kind kind = kindOf(path);
  if (kind.folder) {
    error = cannotOpen(path, EISDIR);
    return false;
  }
  if (kind.regular) {
    int fd = openAppend(path, false, false);
    if (fd < 0) {
      error = cannotOpen(path, errno);
      return false;
    }
    closeFile(fd);
    return true;
  }
  if (!kind.exists && kind.error != ENOENT) {
    error = cannotOpen(path, kind.error);
    return false;
  }
  // A FIFO or device is asked about; a new file needs a folder to write in.
  std::string where = path;
  if (!kind.exists) {
    std::size_t slash = path.find_last_of(kSeparators);
    where = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  }
#if defined(_WIN32)
  int allowed = _access(where.c_str(), 2);
#else
  int allowed = ::access(where.c_str(), kind.exists ? W_OK : W_OK | X_OK);
#endif
  if (allowed != 0) {
    error = cannotOpen(path, errno);
    return false;
  }
  return true;
}

bool isTerminal(std::FILE *f) {
#if defined(_WIN32)
  return _isatty(_fileno(f)) != 0;
#else
  return ::isatty(fileno(f)) != 0;
#endif
}

void installStopHandlers(bool restart) {
#if defined(_WIN32)
  (void)restart;
  std::signal(SIGINT, onStopSignal);
  std::signal(SIGTERM, onStopSignal);
#else
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = onStopSignal;
  sigemptyset(&sa.sa_mask);
  // Restarted, so that a signal never turns a VISA call under way into a failure of the station.
  sa.sa_flags = restart ? SA_RESTART : 0;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  // An output whose reader went away (a logger that stopped, `| head`) must not end the run
  // mid-phone, with the test set left open and the phone unrecorded: the writes fail instead.
  std::signal(SIGPIPE, SIG_IGN);
#endif
}

bool stopRequested() { return stopFlag != 0; }

std::string utcNow() {
  auto now = std::chrono::system_clock::now();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count();
  std::time_t seconds = static_cast<std::time_t>(ms / 1000);
  std::tm tm{};
#if defined(_WIN32)
  gmtime_s(&tm, &seconds);
#else
  gmtime_r(&seconds, &tm);
#endif
  char buf[40];
  std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
  char out[48];
  std::snprintf(out, sizeof out, "%s.%03dZ", buf, static_cast<int>(ms % 1000));
  return out;
}

}  // namespace phone_test
