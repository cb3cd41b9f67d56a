// Reading the board file of the installation a driver belongs to: which
// file, whether to trust it, and what it says.
#ifndef BCDMON_DRIVER_BOARD_FILE_H_
#define BCDMON_DRIVER_BOARD_FILE_H_

#include <sys/stat.h>

#include "driver/board.h"

namespace zep {

// Reads the board file into `file`. Returns false when the file is bad,
// after the driver's one line naming the file and what is wrong with it:
// then no port may be touched. Where there is no file, or the file is
// /dev/null, the defaults hold.
bool ReadBoardFile(BoardFile* file);

// The owner that the trust check sees: the file's own. It is defined in a
// file of its own so that the unit tests can link another in its place, as
// a normal user cannot give a file to root. Nothing at run time changes it.
uid_t OwnerOf(const struct stat& status);

}  // namespace zep

#endif  // BCDMON_DRIVER_BOARD_FILE_H_
