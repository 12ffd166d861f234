// How the system runs kestrel-channeld. On Linux it is always a program of
// its own; under systemd it says when it serves and when it stops
// (sd_notify, for a unit of Type=notify). On Windows the service control manager
// may start it as the service kestrel-channeld: then it reports its state
// to the manager, ends on SERVICE_CONTROL_STOP and SERVICE_CONTROL_SHUTDOWN,
// writes its counters on the control code kReportControl, and its output
// goes to a log file (LogPath()), since a service has no console. Started
// from a console, it runs there and ends on Ctrl+C or Ctrl+Break.

#ifndef KESTREL_CHANNELD_HOST_SERVICE_HOST_H_
#define KESTREL_CHANNELD_HOST_SERVICE_HOST_H_

#include <functional>
#include <string>

namespace kestrel {
namespace channeld {

class ServiceHost {
 public:
  // The name that the service is installed under.
  static constexpr const char* kServiceName = "kestrel-channeld";
  // sc control kestrel-channeld 128: the counters, as SIGUSR1 on Linux.
  static constexpr unsigned kReportControl = 128;

  // What a service tells its manager as it goes; either may be empty.
  struct Progress {
    // Clients can connect: a service is "starting" until then (systemd's
    // Type=notify unit waits for it), "running" after.
    std::function<void()> serving;
    // A planned stop has begun.
    std::function<void()> stopping;
  };

  // Runs run as the system wants it run, and answers its exit status (as a
  // service: after the manager has been told that it stopped). run tells
  // progress how it goes.
  static int Run(const std::function<int(const Progress& progress)>& run);

  // What --help says of the requests that a running service takes: how to
  // have its counters written, then how to stop it (the sentence goes on
  // with what a stop does).
  static std::string ControlHelp();

  // Where a service's output goes: %ProgramData%\Kestrel\kestrel-channeld.log
  // on Windows; empty elsewhere.
  static std::string LogPath();
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_HOST_SERVICE_HOST_H_
