// What the real-time suites share: temporary folders, image files, and the
// programs under test (quarn-burn, plcsim) started as child processes.
#pragma once
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace testsupport {

using Bytes = std::vector<uint8_t>;

inline Bytes ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline void WriteFile(const std::string& path, const Bytes& bytes) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// An image no two blocks of which are alike.
inline Bytes Pattern(size_t n, unsigned seed = 3) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + i / 256 + seed);
  return b;
}

// What the bootloader must have received: data then SUB up to the block.
inline Bytes Padded(Bytes data, size_t block) {
  while (data.size() % block) data.push_back(0x1A);
  return data;
}

// A folder of its own under /tmp, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/quarn-test-XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~TempDir() { std::system(("rm -rf '" + path + "'").c_str()); }
  std::string path;
};

// Starts args[0] (a path, or a program on PATH) with the given descriptors as its stdin, stdout and
// stderr. Every signal starts at its default disposition and unblocked, whatever the test runner
// was started with (nohup, a shell that ignores SIGINT). inChild, if given, runs in the child
// before the program starts (it may only make system calls).
inline pid_t Spawn(const std::vector<std::string>& args, int in, int out, int err,
                   void (*inChild)() = nullptr) {
  const pid_t pid = fork();
  if (pid == 0) {
    for (int sig = 1; sig < NSIG; ++sig)
      signal(sig, SIG_DFL);  // SIGKILL, SIGSTOP refuse: no matter
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (inChild) inChild();
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    for (int fd : {in, out, err})
      if (fd > 2) close(fd);
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execvp(argv[0], argv.data());
    _exit(127);
  }
  return pid;
}

}  // namespace testsupport
