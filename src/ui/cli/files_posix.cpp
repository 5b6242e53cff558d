// quarn-burn's files on Linux: regular files read whole, the trace, an
// O_APPEND record file flushed with fsync, and the key directories.
#include "ui/cli/files.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace quarn::cli {

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return "";
  return name;
}

std::vector<std::string> KeyDirectories() {
  return {"/usr/share/quarn-burn/keys", "/etc/quarn-burn/keys"};
}

namespace {

// What a stat of a file that is not regular says of it.
const char* NotRegular(mode_t mode) {
  if (S_ISDIR(mode)) return "it is a directory";
  if (S_ISFIFO(mode)) return "it is a FIFO, not a regular file";
  if (S_ISCHR(mode) || S_ISBLK(mode)) return "it is a device, not a regular file";
  return S_ISREG(mode) ? nullptr : "it is not a regular file";
}

std::string OpenError(int err) {
  if (err == ENOENT) return "no such file";
  if (err == EACCES || err == EPERM) return "permission denied";
  return std::strerror(err);
}

// The file a name reaches: its device and inode; for a name of no file yet
// (or a link to none), its directory's and the name it would be created as.
struct FileKey {
  dev_t dev = 0;
  ino_t ino = 0;
  std::string name;
  bool device = false;
};

bool KeyOf(std::string path, FileKey& key) {
  for (int links = 0; links < 40; ++links) {
    struct stat s {};
    if (stat(path.c_str(), &s) == 0) {
      key = {s.st_dev, s.st_ino, "", S_ISCHR(s.st_mode) || S_ISBLK(s.st_mode)};
      return true;
    }
    if (errno != ENOENT) return false;
    const size_t slash = path.find_last_of('/');
    const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
    char target[4096];
    const ssize_t n = readlink(path.c_str(), target, sizeof target);
    if (n > 0 && static_cast<size_t>(n) < sizeof target) {  // a link to no file yet: its target
      path = target[0] == '/' ? std::string(target, n) : dir + "/" + std::string(target, n);
      continue;
    }
    if (stat(dir.c_str(), &s) != 0) return false;
    key = {s.st_dev, s.st_ino, path.substr(slash + 1), false};
    return true;
  }
  return false;
}

// Why an open for writing failed: a FIFO that no program reads fails with
// ENXIO when opened without waiting.
std::string WriteOpenError(const std::string& path, int err, const char* fifo) {
  struct stat s {};
  if (err == ENXIO && stat(path.c_str(), &s) == 0 && S_ISFIFO(s.st_mode)) return fifo;
  return std::strerror(err);
}

}  // namespace

std::string ReadRegularFile(const std::string& path, size_t limit, std::vector<uint8_t>& bytes,
                            uint64_t& size) {
  bytes.clear();
  struct stat s {};
  if (stat(path.c_str(), &s) != 0) return OpenError(errno);
  if (const char* why = NotRegular(s.st_mode)) return why;  // never opened: no device stirs
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return OpenError(errno);
  std::string why;
  if (fstat(fd, &s) != 0)
    why = std::strerror(errno);
  else if (const char* what = NotRegular(s.st_mode))
    why = what;  // another file took the name
  size = static_cast<uint64_t>(s.st_size);
  bytes.reserve(std::min<uint64_t>(limit, size));
  while (why.empty() && bytes.size() < limit) {
    const size_t at = bytes.size();
    bytes.resize(std::min(limit, at + (size_t{1} << 16)));
    const ssize_t n = ::read(fd, bytes.data() + at, bytes.size() - at);
    bytes.resize(at + static_cast<size_t>(std::max<ssize_t>(n, 0)));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) why = std::string("a read failed (") + std::strerror(errno) + ")";
    if (n <= 0) break;
  }
  ::close(fd);
  return why;
}

bool SameFile(const std::string& a, const std::string& b) {
  FileKey ka, kb;
  return KeyOf(a, ka) && KeyOf(b, kb) && !ka.device && ka.dev == kb.dev && ka.ino == kb.ino &&
         ka.name == kb.name;
}

FILE* OpenTraceFile(const std::string& path, bool& regular, std::string& why) {
  // O_NONBLOCK: a FIFO with no reader fails at once (ENXIO) instead of
  // waiting; the writes then wait as they would on any pipe.
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) {
    why = WriteOpenError(path, errno, "it is a FIFO that no program reads");
    return nullptr;
  }
  struct stat s {};
  const int flags = fcntl(fd, F_GETFL);
  FILE* f = fstat(fd, &s) == 0 && flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0
                ? fdopen(fd, "w")
                : nullptr;
  if (!f) {
    why = std::strerror(errno);
    ::close(fd);
    return nullptr;
  }
  regular = S_ISREG(s.st_mode);
  return f;
}

RecordFile::~RecordFile() {
  if (h_ >= 0) ::close(static_cast<int>(h_));
}

std::string RecordFile::open(const std::string& path) {
  // O_NONBLOCK stays: a FIFO does not hold the open up, a stopped terminal
  // does not hold the record (the write fails instead).
  const int fd =
      ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0666);
  if (fd < 0) return WriteOpenError(path, errno, "it is a FIFO");
  struct stat s {};
  if (fstat(fd, &s) != 0 || S_ISFIFO(s.st_mode) || S_ISSOCK(s.st_mode)) {
    const std::string why = S_ISFIFO(s.st_mode) ? "it is a FIFO" : "it is not a file";
    ::close(fd);
    return why;
  }
  h_ = fd;
  return "";
}

std::string RecordFile::append(const std::string& line) {
  if (h_ < 0) return "not open";
  const int fd = static_cast<int>(h_);
  ssize_t n;
  do n = ::write(fd, line.data(), line.size());
  while (n < 0 && errno == EINTR);
  std::string failed;
  if (n < 0)
    failed = std::strerror(errno);
  else if (static_cast<size_t>(n) != line.size())
    failed = "only " + std::to_string(n) + " of " + std::to_string(line.size()) + " bytes written";
  // A pipe or a terminal cannot be synced, and needs not be.
  else if (fsync(fd) != 0 && errno != EINVAL)
    failed = std::strerror(errno);
  if (failed.empty() || n <= 0) return failed;
  // What went out of a failed record is cut off again, so that no partial
  // line is left for the next record to be glued to: the file goes back to
  // the length it had before, unless another writer appended since.
  struct stat s {};
  const off_t end = lseek(fd, 0, SEEK_CUR);
  if (end < n || fstat(fd, &s) != 0 || !S_ISREG(s.st_mode) || s.st_size != end ||
      ftruncate(fd, end - n) != 0)
    return failed + "; the partial record could not be removed";
  return failed;
}

}  // namespace quarn::cli
