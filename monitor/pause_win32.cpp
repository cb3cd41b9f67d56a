#include <windows.h>

#include "monitor/pause.h"

// An overload of the kernel's Sleep(DWORD), told apart by its parameter type:
// the tests link a fake of this one while the kernel's stays as it is.
void Sleep(unsigned int milliseconds) { ::Sleep(static_cast<DWORD>(milliseconds)); }
