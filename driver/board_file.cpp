#include "driver/board_file.h"

#include <fcntl.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zep {

namespace {

// The environment names another file only for a run with no more privilege
// than the one who set it (no file capability, no set-id), which
// secure_getenv sees to: any such run, root's or a user's, the tests' among
// them.
constexpr char kVariable[] = "BCDMON_BOARD_CONF";
// The installation's own file, fixed when the build was configured: the
// configured sysconfdir's bcdmon/board.conf (/etc's for the prefix /usr).
constexpr char kInstalledFile[] = BCDMON_BOARD_FILE;
// The largest board file read: a board needs a few lines, far less.
constexpr off_t kLargestFile = off_t{64} * 1024;

// The file the variable names, or null where it names none: unset, or set
// but empty, as `BCDMON_BOARD_CONF= bcdmon` leaves it.
const char* NamedBoardFile() {
  const char* const named = secure_getenv(kVariable);
  return named != nullptr && named[0] != '\0' ? named : nullptr;
}

void ReportUnreadable(const char* file, int error) {
  ReportBadBoardFile(file, 0, nullptr, "cannot be read: %s", std::strerror(error));
}

// Says where the name came from, and how to ask for no file instead.
void ReportNamedUnopened(const char* file, int error) {
  ReportBadBoardFile(file, 0, nullptr,
                     "cannot be read: %s; %s names it, and %s=/dev/null would mean no board file",
                     std::strerror(error), kVariable, kVariable);
}

// Trusts only a file that root owns and no one else may write: otherwise
// any user could move the ports of a program that runs with more privilege
// than theirs. The folders above it are not checked.
bool IsTrusted(const char* file, const struct stat& status) {
  if (!S_ISREG(status.st_mode)) {
    ReportBadBoardFile(file, 0, nullptr, "not a regular file");
    return false;
  }
  const uid_t owner = OwnerOf(status);
  if (owner != 0) {
    ReportBadBoardFile(file, 0, nullptr, "owned by uid %u, not root",
                       static_cast<unsigned int>(owner));
    return false;
  }
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    ReportBadBoardFile(file, 0, nullptr, "writable by others than root (mode %04o)",
                       static_cast<unsigned int>(status.st_mode & 07777));
    return false;
  }
  return true;
}

// Refuses a file larger than any board file before a byte of it is read:
// it is damaged or not a board file, and reading a file of gigabytes would
// stall the start for many seconds.
bool IsSmallEnough(const char* file, const struct stat& status) {
  if (status.st_size > kLargestFile) {
    ReportBadBoardFile(file, 0, nullptr,
                       "%lld bytes, more than the %lld that a board file may have: it looks "
                       "damaged, or it is not a board file",
                       static_cast<long long>(status.st_size),
                       static_cast<long long>(kLargestFile));
    return false;
  }
  return true;
}

// /dev/null, known by what fstat says of it, a character device with its
// device number, and not by its name, which a link could carry.
bool IsNullDevice(const struct stat& status) {
  return S_ISCHR(status.st_mode) && status.st_rdev == makedev(1, 3);
}

// What the open file is to the driver.
enum class Verdict { kBoardFile, kNoFile, kRefused };

// Checks the open file, whose name is `file`, with the driver's line where
// it is refused. /dev/null stands for no file, as `ssh -F /dev/null` stands
// for no configuration: so a test or a user can ask for the defaults
// without the installation's file being read.
Verdict CheckOpenFile(const char* file, int descriptor) {
  struct stat status {};
  if (fstat(descriptor, &status) != 0) {
    ReportUnreadable(file, errno);
    return Verdict::kRefused;
  }
  if (IsNullDevice(status)) return Verdict::kNoFile;
  return IsTrusted(file, status) && IsSmallEnough(file, status) ? Verdict::kBoardFile
                                                                : Verdict::kRefused;
}

// Checks and parses the open file, then closes it.
bool ReadOpenFile(int descriptor, BoardFile* file) {
  const Verdict verdict = CheckOpenFile(file->name, descriptor);
  file->present = verdict == Verdict::kBoardFile;
  if (!file->present) {
    close(descriptor);
    return verdict == Verdict::kNoFile;
  }
  std::FILE* const stream = fdopen(descriptor, "r");
  if (stream == nullptr) {
    ReportUnreadable(file->name, errno);
    close(descriptor);
    return false;
  }
  bool good = ParseBoard(stream, file);
  if (good && std::ferror(stream) != 0) {
    ReportUnreadable(file->name, errno);
    good = false;
  }
  std::fclose(stream);
  return good;
}

}  // namespace

bool ReadBoardFile(BoardFile* file) {
  const char* const named = NamedBoardFile();
  std::snprintf(file->name, sizeof file->name, "%s", named != nullptr ? named : kInstalledFile);
  // Not blocking, so that a FIFO put there is refused as not a regular file
  // rather than waited on.
  const int descriptor = open(file->name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  // The installed file may be missing: then the defaults hold. A file that
  // the variable names was asked for, and a mistyped name must not pass for
  // no file and send 137 to the block at the program's address.
  if (descriptor < 0 && named != nullptr) {
    ReportNamedUnopened(file->name, errno);
    return false;
  }
  if (descriptor < 0 && errno != ENOENT) {
    ReportUnreadable(file->name, errno);
    return false;
  }
  SetBoardDefaults(file);
  file->present = false;
  return descriptor < 0 || ReadOpenFile(descriptor, file);
}

}  // namespace zep
