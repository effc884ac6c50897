#include "app/process_objects.h"

#include "app/interrupts.h"
#include "manager/client.h"
#include "runtime/console_logger.h"
#include "update/updater.h"

void InitProcessObjects() {
  UpdaterInstance();
  // The other start-up tables are constant data, complete before any code runs.
  // MatchTargets: its initialisation is called here, before anything can read it.
  // Settings-side objects (the locked settings files) go here: closed before a restart.
  ConsoleLoggerInstance().SetPrintLineGate(&ClientLogsWithTimePrefix);
  ClientInstance();
  // Stopped before the Client is destroyed: requests still in the pipe at exit are carried out
  // on the Client that exists, and none is carried out on one being destroyed.
  InterruptRequestsInstance();
  // Pool-side objects go here: their exit handlers run before a remaining Client is destroyed.
}
