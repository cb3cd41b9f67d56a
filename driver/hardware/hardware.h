// What the two hardware drivers share, whatever their way to the ports: the
// board they open, the line they write when the kernel refuses them the
// ports, and giving up the privilege that got the ports.
#ifndef BCDMON_DRIVER_HARDWARE_HARDWARE_H_
#define BCDMON_DRIVER_HARDWARE_HARDWARE_H_

#include "driver/board.h"

namespace zep {

// Begins OpenPort: finds the board that the program's `address` stands for,
// by the board file as it was at load, and keeps the open's lines back
// (KeepLinesBack). Returns false, with the capabilities given up, for an
// address outside the I/O space (after the driver's line) or a bad board
// file (whose line the driver wrote at load).
bool FindOpenableBoard(int address, Board* board);

// Writes the driver's one line when OpenPort fails: which block, why (the
// system's word for `error`, and the cause where the program stood, as
// GiveUpCapabilities found it), and what helps.
void ReportNoAccess(int address, int error);

// Gives up every capability of the process, whether it ran as root or
// through the program file's CAP_SYS_RAWIO, noting first whether it held
// that one, for ReportNoAccess. None comes back, as the program executes
// nothing (root's would, in a new program). OpenPort calls it as soon as
// it has the ports, or has been refused them: nothing after needs any, as
// the kernel checks the privilege only when it grants (ioperm with turn_on
// set, the open of /dev/port). It does not check it for the port
// instructions, the reads and writes of an open /dev/port, or giving the
// ports back. So a second OpenPort in the same process is refused. errno is
// left as it was.
void GiveUpCapabilities();

}  // namespace zep

#endif  // BCDMON_DRIVER_HARDWARE_HARDWARE_H_
