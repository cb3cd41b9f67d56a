#include <windows.h>

#include "monitor/pause.h"

void Pause(unsigned int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }
