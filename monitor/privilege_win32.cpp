#include "monitor/privilege.h"

// Nothing to give up: the program asks Windows for no privilege, and a port
// driver reaches the ports through a kernel driver of its own. An
// administrator's token stays as it is; lowering it takes ADVAPI32.dll, which
// the program does not import.
bool GiveUpPrivilege() { return true; }
