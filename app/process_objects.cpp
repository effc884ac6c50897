#include "app/process_objects.h"

#include "app/interrupts.h"
#include "chia/deployment.h"
#include "chia/match_targets.h"
#include "manager/client.h"
#include "pool/packet_sender.h"
#include "pool/settings.h"
#include "runtime/console_logger.h"
#include "update/updater.h"

void InitProcessObjects() {
  UpdaterInstance().dhtRouters = ActiveDeployment().dhtRouters;
  // The other start-up tables are constant data, complete before any code runs.
  InitMatchTargets();
  // The locked settings files: closed before a restart.
  SettingsFilesInstance();
  ConsoleLoggerInstance().SetPrintLineGate(&ClientLogsWithTimePrefix);
  ClientInstance();
  // Stopped before the Client is destroyed: requests still in the pipe at exit are carried out
  // on the Client that exists, and none is carried out on one being destroyed.
  InterruptRequestsInstance();
  // Pool-side objects go here: their exit handlers run before a remaining Client is destroyed.
  InitPoolProcessObjects();
}
