// The files quarn-burn reads and writes: regular files read whole, the
// trace, the append-only record, and where trusted keys are kept
// (files_posix.cpp, files_win32.cpp).
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace quarn::cli {

// Reads the regular file at path, at most limit bytes of it, into bytes:
// a directory, a device or a FIFO is refused without being opened (nor
// waited on). size: what the file holds as the system says it. Returns why
// it cannot be read, or "".
std::string ReadRegularFile(const std::string& path, size_t limit, std::vector<uint8_t>& bytes,
                            uint64_t& size);
// Whether two names reach one file, through links too; a name of no file
// yet is the file it would be created as. Devices (a terminal, /dev/null)
// are never one file with anything: nothing the tool reads is clobbered there.
bool SameFile(const std::string& a, const std::string& b);
// Opens path to write the trace, created or emptied; a FIFO is opened
// without waiting for a reader (and refused when it has none). regular:
// whether it is a regular file. Null with why when it does not open.
FILE* OpenTraceFile(const std::string& path, bool& regular, std::string& why);

// A file that is only ever appended to, one whole record per write.
class RecordFile {
 public:
  RecordFile() = default;
  ~RecordFile();
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;

  // Opens (creating it if need be) for appending; "" or what went wrong. A
  // FIFO is refused; a terminal takes the record only if it can at once.
  std::string open(const std::string& path);
  // Appends line with a single write at the file's end, where no other
  // writer's record can come between its bytes, and flushes it to the disk.
  // "" or what went wrong; then whatever part of line reached the file has
  // been cut off again (or the text says it could not be).
  std::string append(const std::string& line);

 private:
  intptr_t h_ = -1;  // file descriptor, or HANDLE
};

// This machine's name, as the system gives it ("" when it gives none): the
// station a record names.
std::string HostName();

// Where trusted public keys are kept: on Linux /usr/share/quarn-burn/keys
// (the package's) and /etc/quarn-burn/keys (the site's); on Windows the
// folder keys beside the program and %ProgramData%\Quarn\keys.
std::vector<std::string> KeyDirectories();

}  // namespace quarn::cli
