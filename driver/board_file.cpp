#include "driver/board_file.h"

#include <fcntl.h>
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

const char* ChosenBoardFile() {
  const char* const chosen = secure_getenv(kVariable);
  return chosen != nullptr ? chosen : kInstalledFile;
}

void ReportUnreadable(const char* file, int error) {
  ReportBadBoardFile(file, 0, nullptr, "cannot be read: %s", std::strerror(error));
}

// Trusts only a file that root owns and no one else may write: otherwise
// any user could move the ports of a program that runs with more privilege
// than theirs. The folders above it are not checked.
bool IsTrusted(const char* file, int descriptor) {
  struct stat status {};
  if (fstat(descriptor, &status) != 0) {
    ReportUnreadable(file, errno);
    return false;
  }
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

// Checks and parses the open file, then closes it.
bool ReadOpenFile(int descriptor, BoardFile* file) {
  if (!IsTrusted(file->name, descriptor)) {
    close(descriptor);
    return false;
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
  std::snprintf(file->name, sizeof file->name, "%s", ChosenBoardFile());
  // Not blocking, so that a FIFO put there is refused as not a regular file
  // rather than waited on.
  const int descriptor = open(file->name, O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
  if (descriptor < 0 && errno != ENOENT) {
    ReportUnreadable(file->name, errno);
    return false;
  }
  file->present = descriptor >= 0;
  if (file->present) return ReadOpenFile(descriptor, file);
  SetBoardDefaults(file);
  return true;
}

}  // namespace zep
