#include "output.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <system_error>

#if defined(_WIN32)
#include <process.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace zolvane::analysis {
namespace {

enum class Way { Replace, InPlace, Refuse };

struct Target {
  Way way = Way::Refuse;
  std::string path;  // what is written or replaced (a link's target)
  std::string why;   // for Refuse
  bool exists = false;
#if !defined(_WIN32)
  struct stat st {};
#endif
};

std::string folderOf(const std::string &path) {
  const std::size_t slash = path.find_last_of(
#if defined(_WIN32)
      "/\\"
#else
      "/"
#endif
  );
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A name for the new file beside the old one that no other writer picks.
std::string tempName(const std::string &target, unsigned attempt) {
  static std::atomic<unsigned> counter{0};
  static const unsigned salt = std::random_device{}();
#if defined(_WIN32)
  const unsigned pid = static_cast<unsigned>(_getpid());
#else
  const unsigned pid = static_cast<unsigned>(getpid());
#endif
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, ".%u.%u.%x.%u.tmp", pid, counter++, salt, attempt);
  return target + suffix;
}

#if defined(_WIN32)

Target classify(const std::string &path) {
  Target t;
  t.path = path;
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (std::filesystem::is_directory(status)) {
    t.why = "is a directory";
    return t;
  }
  t.exists = std::filesystem::exists(status);
  if (!t.exists && !std::filesystem::is_directory(folderOf(path), ec)) {
    t.why = std::strerror(ENOENT);
    return t;
  }
  t.way = Way::Replace;
  return t;
}

#else

Target classify(const std::string &path) {
  Target t;
  t.path = path;
  if (stat(path.c_str(), &t.st) == 0) {
    t.exists = true;
    if (S_ISREG(t.st.st_mode)) {
      // Through any links to the file itself, so that the link stays a link.
      char *real = realpath(path.c_str(), nullptr);
      if (!real) {
        t.why = std::strerror(errno);
        return t;
      }
      t.path = real;
      std::free(real);
      t.way = Way::Replace;
    } else if (S_ISCHR(t.st.st_mode) || S_ISFIFO(t.st.st_mode)) {
      t.way = Way::InPlace;
    } else {
      t.why = S_ISDIR(t.st.st_mode) ? std::strerror(EISDIR)
                                    : "not a regular file, a character device or a pipe";
    }
    return t;
  }
  if (errno != ENOENT) {
    t.why = std::strerror(errno);
    return t;
  }
  // Nothing there, or a link to nothing: the file the last link names is made.
  for (int hops = 0;; ++hops) {
    struct stat ls;
    if (lstat(t.path.c_str(), &ls) != 0 || !S_ISLNK(ls.st_mode)) break;
    if (hops == 40) {
      t.why = std::strerror(ELOOP);
      return t;
    }
    std::string link(4096, '\0');
    const ssize_t n = readlink(t.path.c_str(), link.data(), link.size());
    if (n < 0) {
      t.why = std::strerror(errno);
      return t;
    }
    link.resize(static_cast<std::size_t>(n));
    t.path = link[0] == '/' ? link : folderOf(t.path) + "/" + link;
  }
  struct stat folder;
  const std::string dir = folderOf(t.path);
  if (stat(dir.c_str(), &folder) != 0) {
    t.why = std::strerror(errno);
    return t;
  }
  if (!S_ISDIR(folder.st_mode)) {
    t.why = std::strerror(ENOTDIR);
    return t;
  }
  t.way = Way::Replace;
  return t;
}

bool writeAll(int fd, std::string_view content) {
  while (!content.empty()) {
    const ssize_t n = ::write(fd, content.data(), content.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    content.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

#endif

}  // namespace

bool checkOutput(const std::string &path, std::string &error) {
  const Target t = classify(path);
  std::string why = t.why;
#if !defined(_WIN32)
  const std::string probe = t.way == Way::Replace ? folderOf(t.path) : t.path;
  if (t.way != Way::Refuse && access(probe.c_str(), W_OK) != 0) why = std::strerror(errno);
#endif
  if (t.way == Way::Refuse || !why.empty()) {
    error = "cannot open " + path + " for writing: " + why;
    return false;
  }
  return true;
}

bool writeOutput(const std::string &path, std::string_view content, std::string &error) {
  const Target t = classify(path);
  auto fail = [&](const std::string &why) {
    error = path + ": cannot be written: " + why;
    return false;
  };
  if (t.way == Way::Refuse) return fail(t.why);
#if defined(_WIN32)
  const std::string tmp = tempName(t.path, 0);
  std::FILE *f = std::fopen(tmp.c_str(), "wb");
  if (!f) return fail(std::strerror(errno));
  bool ok = std::fwrite(content.data(), 1, content.size(), f) == content.size();
  int cause = errno;
  if (std::fclose(f) != 0 && ok) ok = false, cause = errno;
  if (!ok) {
    std::remove(tmp.c_str());
    return fail(std::strerror(cause));
  }
  std::error_code ec;
  std::filesystem::rename(tmp, t.path, ec);  // replaces an existing file on Windows too
  if (ec) {
    std::remove(tmp.c_str());
    return fail(ec.message());
  }
  return true;
#else
  if (t.way == Way::InPlace) {
    const int fd = ::open(t.path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return fail(std::strerror(errno));
    const bool ok = writeAll(fd, content);
    const int cause = errno;
    ::close(fd);
    return ok ? true : fail(std::strerror(cause));
  }
  std::string tmp;
  int fd = -1;
  for (unsigned attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    tmp = tempName(t.path, attempt);
    fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) return fail(std::strerror(errno));
  bool ok = writeAll(fd, content);
  int cause = errno;
  if (ok && t.exists) {
    // The new file keeps the old one's permissions (and, for root, its owner).
    if (fchmod(fd, t.st.st_mode & 07777) != 0) ok = false, cause = errno;
    if (ok && geteuid() == 0 && fchown(fd, t.st.st_uid, t.st.st_gid) != 0) ok = false, cause = errno;
  }
  if (ok && fsync(fd) != 0) ok = false, cause = errno;
  if (::close(fd) != 0 && ok) ok = false, cause = errno;
  if (ok && std::rename(tmp.c_str(), t.path.c_str()) != 0) ok = false, cause = errno;
  if (!ok) {
    ::unlink(tmp.c_str());
    return fail(std::strerror(cause));
  }
  return true;
#endif
}

}  // namespace zolvane::analysis
