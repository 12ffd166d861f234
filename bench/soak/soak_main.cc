// kestrel_soak: suppliers and consumers in processes of their own publish
// through a kestrel-channeld that is stopped and restarted every few
// seconds; afterwards the records show whether every event that had to
// arrive arrived exactly once and in order. See soak_driver.h for the run,
// delivery_audit.h for what counts as lost, and --help for the options.
// A full run takes minutes; the tests run one short one (CMakeLists.txt).
//
// The same program is the driver and, started by the driver with
// --worker, each supplier and consumer.

#include <unistd.h>

#include <climits>
#include <csignal>
#include <cstdio>
#include <string>

#include "bench/soak/soak_driver.h"
#include "bench/soak/soak_options.h"
#include "bench/soak/soak_workers.h"
#include "bench/soak/stop_signal.h"

namespace {

std::string ThisProgram() {
  char path[PATH_MAX];
  ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return std::string();
  path[length] = '\0';
  return path;
}

}  // namespace

int main(int argc, char** argv) {
  using kestrel::soak::SoakCommand;
  SoakCommand command = kestrel::soak::ParseCommand(argc, argv);
  switch (command.action) {
    case SoakCommand::Action::kHelp:
      std::fputs(kestrel::soak::Usage(), stdout);
      return 0;
    case SoakCommand::Action::kError:
      std::fprintf(stderr, "kestrel_soak: %s\n%s", command.error.c_str(), kestrel::soak::Usage());
      return 2;
    case SoakCommand::Action::kWork:
      kestrel::soak::StopSignal::BlockInProcess();
      return command.worker.role == kestrel::soak::WorkerOptions::Role::kSupplier
                 ? kestrel::soak::RunSupplier(command.worker)
                 : kestrel::soak::RunConsumer(command.worker);
    case SoakCommand::Action::kAudit:
      return kestrel::soak::SoakDriver::AuditFolder(command.driver);
    case SoakCommand::Action::kDrive:
      break;
  }
  // A worker's end must not take the driver with it.
  std::signal(SIGPIPE, SIG_IGN);
  kestrel::soak::SoakDriver driver(command.driver, ThisProgram());
  return driver.Run();
}
