// quarn-burn's files on Windows: regular files read whole, the trace, a
// record file opened for appending only (FILE_APPEND_DATA) and flushed with
// FlushFileBuffers, and the key directories.
#include <windows.h>
#include <io.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "ui/cli/files.h"

namespace quarn::cli {

std::string HostName() {
  char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD n = sizeof name;
  if (!GetComputerNameA(name, &n)) return "";
  return std::string(name, n);
}

std::vector<std::string> KeyDirectories() {
  std::vector<std::string> dirs;
  char exe[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, exe, sizeof exe);
  if (n > 0 && n < sizeof exe) {
    std::string dir(exe, n);
    dir.resize(dir.find_last_of("\\/") + 1);
    dirs.push_back(dir + "keys");
  }
  char data[MAX_PATH];
  const DWORD m = GetEnvironmentVariableA("ProgramData", data, sizeof data);
  dirs.push_back((m > 0 && m < sizeof data ? std::string(data, m) : "C:\\ProgramData") +
                 "\\Quarn\\keys");
  return dirs;
}

namespace {

std::string LastError(const char* what) {
  return std::string(what) + " failed (Windows error " + std::to_string(GetLastError()) + ")";
}

// A file opened for its identity or its bytes alone; null when it cannot be.
HANDLE OpenExisting(const std::string& path, DWORD access) {
  HANDLE h =
      CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

// What stands for a name: the volume and file index of an existing disk
// file, else its full path in lower case ("" for a device).
std::string FileKey(const std::string& path) {
  if (HANDLE h = OpenExisting(path, 0)) {
    BY_HANDLE_FILE_INFORMATION info{};
    const bool disk = GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info);
    CloseHandle(h);
    if (!disk) return "";
    return std::to_string(info.dwVolumeSerialNumber) + ":" + std::to_string(info.nFileIndexHigh) +
           ":" + std::to_string(info.nFileIndexLow);
  }
  char full[MAX_PATH];
  const DWORD n = GetFullPathNameA(path.c_str(), sizeof full, full, nullptr);
  if (n == 0 || n >= sizeof full) return "";
  std::string s(full, n);
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return "new " + s;
}

}  // namespace

std::string ReadRegularFile(const std::string& path, size_t limit, std::vector<uint8_t>& bytes,
                            uint64_t& size) {
  bytes.clear();
  const DWORD attributes = GetFileAttributesA(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD e = GetLastError();
    if (e == ERROR_ACCESS_DENIED) return "permission denied";
    if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND) return "no such file";
    return LastError("GetFileAttributes");
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return "it is a directory";
  HANDLE h = OpenExisting(path, GENERIC_READ);
  if (!h)
    return GetLastError() == ERROR_ACCESS_DENIED ? "permission denied" : LastError("CreateFile");
  std::string why;
  LARGE_INTEGER length{};
  if (GetFileType(h) != FILE_TYPE_DISK)
    why = "it is a device, not a regular file";
  else if (!GetFileSizeEx(h, &length))
    why = LastError("GetFileSizeEx");
  size = static_cast<uint64_t>(length.QuadPart);
  while (why.empty() && bytes.size() < limit) {
    const size_t at = bytes.size();
    bytes.resize(std::min(limit, at + (size_t{1} << 16)));
    DWORD n = 0;
    const bool ok =
        ReadFile(h, bytes.data() + at, static_cast<DWORD>(bytes.size() - at), &n, nullptr);
    bytes.resize(at + n);
    if (!ok) why = "a read failed (" + LastError("ReadFile") + ")";
    if (!ok || n == 0) break;
  }
  CloseHandle(h);
  return why;
}

bool SameFile(const std::string& a, const std::string& b) {
  const std::string ka = FileKey(a);
  return !ka.empty() && ka == FileKey(b);
}

FILE* OpenTraceFile(const std::string& path, bool& regular, std::string& why) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (!f) {
    why = std::strerror(errno);
    return nullptr;
  }
  regular = GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(f)))) == FILE_TYPE_DISK;
  return f;
}

RecordFile::~RecordFile() {
  if (h_ != -1) CloseHandle(reinterpret_cast<HANDLE>(h_));
}

std::string RecordFile::open(const std::string& path) {
  // Every write goes to the end of the file as it is then, whoever else
  // appends (see append); write access lets a failed record be cut off.
  HANDLE h = CreateFileA(path.c_str(), FILE_APPEND_DATA | FILE_WRITE_DATA,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return LastError("CreateFile");
  h_ = reinterpret_cast<intptr_t>(h);
  return "";
}

std::string RecordFile::append(const std::string& line) {
  if (h_ == -1) return "not open";
  HANDLE h = reinterpret_cast<HANDLE>(h_);
  // Offset all ones: written at the file's end in one piece.
  OVERLAPPED at{};
  at.Offset = at.OffsetHigh = 0xFFFFFFFF;
  DWORD written = 0;
  std::string failed;
  if (!WriteFile(h, line.data(), static_cast<DWORD>(line.size()), &written, &at))
    failed = LastError("WriteFile");
  else if (written != line.size())
    failed =
        "only " + std::to_string(written) + " of " + std::to_string(line.size()) + " bytes written";
  else if (!FlushFileBuffers(h))
    failed = LastError("FlushFileBuffers");
  if (failed.empty() || written == 0) return failed;
  // What went out of a failed record is cut off again: the file goes back to
  // the length it had before, unless another writer appended since.
  LARGE_INTEGER zero{}, end{}, size{}, start{};
  start.QuadPart = 0;
  if (SetFilePointerEx(h, zero, &end, FILE_CURRENT) && GetFileSizeEx(h, &size) &&
      size.QuadPart == end.QuadPart && end.QuadPart >= written) {
    start.QuadPart = end.QuadPart - written;
    if (SetFilePointerEx(h, start, nullptr, FILE_BEGIN) && SetEndOfFile(h)) return failed;
  }
  return failed + "; the partial record could not be removed";
}

}  // namespace quarn::cli
