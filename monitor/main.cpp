#include "console/console.h"
#include "monitor/monitor.h"

// The command line is not used.
int main() {
  const int status = MonitorRun();
  ConsoleClose();
  return status;
}
