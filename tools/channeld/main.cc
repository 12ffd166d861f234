// kestrel-channeld: the embedded CosNotification channel service.

#include <sys/resource.h>

#include <cstdio>
#include <string>

#include "tools/channeld/command_line.h"
#include "tools/channeld/service.h"
#include "tools/common/stop_signals.h"

namespace {

// Every client connection takes a descriptor, and the usual soft limit
// (1024) would refuse clients long before anything else runs short: the
// service takes what the hard limit allows, as servers do.
void RaiseOpenFileLimit() {
  rlimit files;
  if (::getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur >= files.rlim_max) return;
  files.rlim_cur = files.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &files);
}

}  // namespace

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
  RaiseOpenFileLimit();
  kestrel::channeld::Service service(line.options());
  return service.Run();
}
