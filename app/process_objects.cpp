#include "app/process_objects.h"

#include "app/interrupts.h"
#include "manager/client.h"
#include "runtime/console_logger.h"
#include "update/updater.h"

void InitProcessObjects() {
  UpdaterInstance();
  // The constant tables (runtime/*_table*.h, combination tables) are constant-initialised and
  // complete before any code runs.
  // MatchTargets: its initialisation is called here, before anything can read it.
  ConsoleLoggerInstance().SetPrintLineGate(&ClientLogsWithTimePrefix);
  InterruptRequestsInstance();
  ClientInstance();
}
