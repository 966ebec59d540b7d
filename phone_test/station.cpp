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
#else
#include <fcntl.h>
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

int openAppend(const std::string &path) {
#if defined(_WIN32)
  return _open(path.c_str(), _O_WRONLY | _O_APPEND | _O_CREAT | _O_BINARY, _S_IREAD | _S_IWRITE);
#else
  return ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
#endif
}

void closeFile(int fd) {
#if defined(_WIN32)
  _close(fd);
#else
  ::close(fd);
#endif
}

bool exists(const std::string &path) {
#if defined(_WIN32)
  struct _stat st;
  return _stat(path.c_str(), &st) == 0;
#else
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
#endif
}

}  // namespace

LineFile::~LineFile() {
  if (fd_ >= 0) closeFile(fd_);
}

bool LineFile::open(const std::string &path, std::string &error) {
  path_ = path;
  fd_ = openAppend(path);
  if (fd_ < 0) {
    error = "cannot open " + path + " for writing: " + std::strerror(errno);
    return false;
  }
#if defined(_WIN32)
  wasEmpty_ = _lseeki64(fd_, 0, SEEK_END) == 0;
#else
  wasEmpty_ = ::lseek(fd_, 0, SEEK_END) == 0;
#endif
  return true;
}

bool LineFile::append(const std::string &line, std::string &error) {
  const char *p = line.data();
  std::size_t left = line.size();
  // One write of the whole line; a short write (a full disk) is finished, and reported if it
  // cannot be.
  while (left > 0) {
#if defined(_WIN32)
    int n = _write(fd_, p, static_cast<unsigned>(left));
#else
    ssize_t n = ::write(fd_, p, left);
    if (n < 0 && errno == EINTR) continue;
#endif
    if (n <= 0) {
      error = "cannot write to " + path_ + ": " + std::strerror(errno);
      return false;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
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
  bool existed = exists(path);
  int fd = openAppend(path);
  if (fd < 0) {
    error = "cannot open " + path + " for writing: " + std::strerror(errno);
    return false;
  }
  closeFile(fd);
  if (!existed) std::remove(path.c_str());
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
