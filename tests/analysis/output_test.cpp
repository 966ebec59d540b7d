#include "output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;
using zolvane::analysis::checkOutput;
using zolvane::analysis::writeOutput;

std::string read(const fs::path &p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

mode_t kindOf(const fs::path &p) {
  struct stat st;
  return lstat(p.c_str(), &st) == 0 ? (st.st_mode & S_IFMT) : 0;
}

// Every kind of thing an output path can name: only a regular file (or none) is replaced by
// rename; a link is followed and stays a link; a device or a pipe is written in place and stays
// what it was; the rest is refused by the check made before the test set is touched.
TEST(Output, EveryKindOfPath) {
  char tmpl[] = "/tmp/analysis_out_XXXXXX";
  ASSERT_NE(mkdtemp(tmpl), nullptr);
  const fs::path dir = tmpl;
  std::ofstream(dir / "old.html") << "old";
  ASSERT_EQ(chmod((dir / "old.html").c_str(), 0640), 0);
  std::ofstream(dir / "target.html") << "old";
  fs::create_symlink(dir / "target.html", dir / "link.html");
  fs::create_symlink("made.html", dir / "dangling.html");  // relative, to nothing yet
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  const int reader = open((dir / "fifo").c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  fs::create_directory(dir / "folder");
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, (dir / "sock").c_str(), sizeof addr.sun_path - 1);
  ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr), 0);
  ASSERT_EQ(kindOf("/dev/full"), S_IFCHR) << "the test needs /dev/full";

  struct Case {
    const char *what;
    fs::path path;
    bool checked, written;
    fs::path holds;  // where the content must be afterwards (empty: nowhere to look)
    mode_t kind;     // what `path` is afterwards
    const char *why;
  };
  const Case cases[] = {
      {"new file", dir / "new.html", true, true, dir / "new.html", S_IFREG, ""},
      {"regular file", dir / "old.html", true, true, dir / "old.html", S_IFREG, ""},
      {"link to a file", dir / "link.html", true, true, dir / "target.html", S_IFLNK, ""},
      {"link to nothing", dir / "dangling.html", true, true, dir / "made.html", S_IFLNK, ""},
      {"FIFO", dir / "fifo", true, true, "", S_IFIFO, ""},
      {"/dev/full", "/dev/full", true, false, "", S_IFCHR, "No space left on device"},
      {"directory", dir / "folder", false, false, "", S_IFDIR, "Is a directory"},
      {"socket", dir / "sock", false, false, "", S_IFSOCK, "not a regular file"},
      {"folder missing", dir / "no" / "r.html", false, false, "", 0, "No such file"},
  };
  const std::string content = "<html>report</html>\n";
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    std::string error;
    EXPECT_EQ(checkOutput(c.path.string(), error), c.checked) << error;
    if (!c.checked) {
      EXPECT_NE(error.find(c.why), std::string::npos) << error;
    }
    error.clear();
    EXPECT_EQ(writeOutput(c.path.string(), content, error), c.written) << error;
    EXPECT_NE(error.find(c.why), std::string::npos) << error;
    EXPECT_EQ(kindOf(c.path), c.kind);
    if (!c.holds.empty()) {
      EXPECT_EQ(read(c.holds), content);
    }
  }
  char buf[256] = {};
  EXPECT_EQ(::read(reader, buf, sizeof buf), static_cast<ssize_t>(content.size()));
  EXPECT_EQ(std::string(buf), content);
  struct stat st;
  ASSERT_EQ(stat((dir / "old.html").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);  // the replaced file keeps its permissions
  for (const auto &entry : fs::directory_iterator(dir))
    EXPECT_NE(entry.path().extension(), ".tmp") << "left behind: " << entry.path();
  close(reader);
  close(sock);
  fs::remove_all(dir);
}

}  // namespace
