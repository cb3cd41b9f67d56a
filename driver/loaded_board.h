// The board file as it was when the driver was loaded, for the devices that
// use one. The loader runs the library's constructors before the program's
// first message, so a device says what it will touch, or what is wrong with
// the file, before "Opening Port...", and never splits one of the program's
// lines. OpenPort never reads the file again.
#ifndef BCDMON_DRIVER_LOADED_BOARD_H_
#define BCDMON_DRIVER_LOADED_BOARD_H_

#include "driver/board.h"

namespace zep {

// Each device that uses the board file defines this. It checks that the
// device can do what the file says, and says in one line which ports or
// which node it will use. Returns false, after the device's line, when it
// cannot: then OpenPort fails without another line.
bool AcceptBoard(const BoardFile& file);

// The file as read at load; null when it was bad or the device refused it.
const BoardFile* LoadedBoard();

}  // namespace zep

#endif  // BCDMON_DRIVER_LOADED_BOARD_H_
