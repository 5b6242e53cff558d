// Why a port did not open, in the words quarn-burn prints, from the errno
// value that the open left.
#ifndef _WIN32
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "link/posix/posix_link.h"

TEST(OpenFailure, ReasonFromErrno) {
  const std::string denied = "permission denied", busy = "in use by another program",
                    absent = "no such port", notSerial = "not a serial port";
  const struct {
    int err;
    std::string reason;
  } cases[] = {
      {EACCES, denied},
      {EPERM, denied},
      {EBUSY, busy},
      {EWOULDBLOCK, busy},
      {ENOENT, absent},
      {ENOTDIR, absent},
      {ENODEV, absent},
      {ENXIO, absent},
      {ENAMETOOLONG, absent},
      {EIO, absent},
      {ENOTTY, notSerial},
      {ELOOP, "a loop of symbolic links"},
      {0, ""},
      {EINVAL, ""},
      {ENOMEM, ""},
      {EMFILE, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(quarn::OpenFailureReason(c.err), c.reason) << c.err;
}
#endif
