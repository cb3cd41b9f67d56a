#include "console/console.h"
#include "monitor/monitor.h"

// The command line is not used.
int main() {
  const int status = MonitorRun();
  // The last messages go out here, and a failure to write them is no
  // success either.
  return ConsoleClose() ? status : kStatusOutputFailed;
}
