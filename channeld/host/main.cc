// kestrel-channeld: the embedded CosNotification channel service.

#include <cstdio>
#include <functional>
#include <string>

#include "channeld/base/system.h"
#include "channeld/host/command_line.h"
#include "channeld/host/service.h"
#include "channeld/host/service_host.h"
#include "tools/common/stop_signals.h"

int main(int argc, char** argv) {
  using kestrel::channeld::CommandLine;
  // Before any thread exists, so that every thread inherits the mask.
  kestrel::tools::StopSignals::BlockInProcess(/*reportSignal=*/true);

  const std::string program = "kestrel-channeld";
  CommandLine line = CommandLine::Parse(argc, argv);
  switch (line.action()) {
    case CommandLine::Action::kHelp: {
      std::string usage = CommandLine::Usage(program);
      std::fwrite(usage.data(), 1, usage.size(), stdout);
      return 0;
    }
    case CommandLine::Action::kVersion: {
      std::string version = program + " " KESTREL_VERSION "\n";
      std::fwrite(version.data(), 1, version.size(), stdout);
      return 0;
    }
    case CommandLine::Action::kError: {
      std::string message = program + ": " + line.error() + "\n" + CommandLine::Usage(program);
      std::fwrite(message.data(), 1, message.size(), stderr);
      return 2;
    }
    case CommandLine::Action::kRun:
      break;
  }
  kestrel::channeld::RaiseOpenFileLimit();
  return kestrel::channeld::ServiceHost::Run(
      [&line](const kestrel::channeld::ServiceHost::Progress& progress) {
        kestrel::channeld::Service service(line.options());
        return service.Run(progress.serving, progress.stopping);
      });
}
