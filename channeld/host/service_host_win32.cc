// kestrel-channeld as a Windows service. The service control manager calls
// the control handler on a thread of its own; the handler never waits: it
// hands stops and report requests to the service's StopSignals and answers.
// It takes stops only once the service is running, and so has made its
// StopSignals.

#include "channeld/host/service_host.h"

#include <windows.h>
#include <sddl.h>
#include <shlobj.h>
#include <tlhelp32.h>

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>

#include <omniORB4/CORBA.h>

#include "channeld/base/log.h"
#include "channeld/base/log_file.h"
#include "tools/common/stop_signals.h"

namespace kestrel {
namespace channeld {

namespace {

// One service per process: the manager's callbacks have no context of ours.
std::function<int(const ServiceHost::Progress&)> serviceBody;
int serviceExit = 0;
SERVICE_STATUS_HANDLE statusHandle = nullptr;
std::mutex statusMutex;
SERVICE_STATUS status = {};
std::atomic<const char*> stopReason{nullptr};

void SetState(DWORD state, DWORD exitCode = NO_ERROR, DWORD waitHintMs = 0) {
  std::lock_guard<std::mutex> lock(statusMutex);
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  status.dwCurrentState = state;
  status.dwControlsAccepted =
      state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
  status.dwWin32ExitCode = exitCode == NO_ERROR ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
  status.dwServiceSpecificExitCode = exitCode;
  status.dwWaitHint = waitHintMs;
  ++status.dwCheckPoint;
  if (state == SERVICE_RUNNING || state == SERVICE_STOPPED) status.dwCheckPoint = 0;
  ::SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI OnControl(DWORD control, DWORD, void*, void*) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      // A stop with the state directory saves the queued events first.
      SetState(SERVICE_STOP_PENDING, NO_ERROR, 30000);
      stopReason.store(control == SERVICE_CONTROL_STOP ? "service stop" : "system shutdown");
      tools::StopSignals::RequestOfListening(stopReason.load());
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      if (control == ServiceHost::kReportControl) {
        tools::StopSignals::ReportOfListening();
        return NO_ERROR;
      }
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

// The service's own folder (log and state): full control for the service's
// account (LocalService, as installed), Administrators and SYSTEM, and for
// no one else, whatever the folder above allows. The installer makes the
// folder so; a service registered by hand makes it the same way.
constexpr const char kFolderSecurity[] = "D:P(A;OICI;FA;;;LS)(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)";

void CreateServiceFolder(const std::string& folder) {
  if (::GetFileAttributesA(folder.c_str()) != INVALID_FILE_ATTRIBUTES) return;
  SECURITY_ATTRIBUTES attributes = {sizeof attributes, nullptr, FALSE};
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (::ConvertStringSecurityDescriptorToSecurityDescriptorA(kFolderSecurity, SDDL_REVISION_1,
                                                             &descriptor, nullptr)) {
    attributes.lpSecurityDescriptor = descriptor;
  }
  ::CreateDirectoryA(folder.c_str(), &attributes);
  if (descriptor != nullptr) ::LocalFree(descriptor);
}

// A service has no console, and its standard streams are no files at all
// (writing to them would end the process): what the program writes goes to
// the log file instead, each line stamped with its time.
void WriteToLogFile() {
  std::string path = ServiceHost::LogPath();
  CreateServiceFolder(path.substr(0, path.find_last_of('\\')));
  // Never destroyed: omniORB's threads may still write while the process
  // ends.
  Log::WriteTo(new LogFile(path));
  // omniORB's traces (--verbose) would go to the missing stderr.
  omniORB::setLogFunction([](const char* text) { Log::Raw(text); });
}

void WINAPI ServiceMain(DWORD, char**) {
  statusHandle = ::RegisterServiceCtrlHandlerExA(ServiceHost::kServiceName, OnControl, nullptr);
  if (statusHandle == nullptr) return;
  WriteToLogFile();
  Log::Error("started as the Windows service kestrel-channeld");
  // Starting (restoring its state, binding its port) until it serves.
  SetState(SERVICE_START_PENDING, NO_ERROR, 30000);
  ServiceHost::Progress progress;
  progress.serving = [] { SetState(SERVICE_RUNNING); };
  serviceExit = serviceBody(progress);
  const char* reason = stopReason.load();
  Log::Error(std::string("stopped (") + (reason != nullptr ? reason : "on its own") +
             "), exit status " + std::to_string(serviceExit));
  SetState(SERVICE_STOPPED, static_cast<DWORD>(serviceExit));
}

// True when services.exe, the service control manager, started this
// process. Asking the manager to connect (StartServiceCtrlDispatcher) answers
// that too, but only after a wait under Wine.
bool StartedByServiceManager() {
  HANDLE snapshot = ::CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return true;  // let the manager say
  PROCESSENTRY32 entry;
  entry.dwSize = sizeof entry;
  DWORD self = ::GetCurrentProcessId();
  DWORD parent = 0;
  for (BOOL more = ::Process32First(snapshot, &entry); more; more = ::Process32Next(snapshot, &entry)) {
    if (entry.th32ProcessID == self) parent = entry.th32ParentProcessID;
  }
  bool byManager = false;
  entry.dwSize = sizeof entry;
  for (BOOL more = ::Process32First(snapshot, &entry); more; more = ::Process32Next(snapshot, &entry)) {
    if (entry.th32ProcessID == parent) byManager = ::lstrcmpiA(entry.szExeFile, "services.exe") == 0;
  }
  ::CloseHandle(snapshot);
  return byManager;
}

}  // namespace

int ServiceHost::Run(const std::function<int(const Progress&)>& run) {
  serviceBody = run;
  char name[] = "kestrel-channeld";
  SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
  if (StartedByServiceManager() && ::StartServiceCtrlDispatcherA(table)) return serviceExit;
  // Not started by the service control manager: a console program.
  return run(ServiceHost::Progress());
}

std::string ServiceHost::ControlHelp() {
  return "As the service kestrel-channeld, control code 128 (sc control kestrel-channeld\n"
         "128) writes every channel's and proxy's counters to its log,\n" + LogPath() +
         " (renamed or deleted at will; it rotates at " +
         std::to_string(LogFile::kDefaultMaxBytes / (1024 * 1024)) + " MB, keeping " +
         std::to_string(LogFile::kDefaultKept) + ").\n"
         "sc stop kestrel-channeld, or Ctrl+C or Ctrl+Break in a console,";
}

std::string ServiceHost::LogPath() {
  // The folder that %ProgramData% names for programs; asked of the shell,
  // since a service's environment need not hold the variable.
  char programData[MAX_PATH];
  std::string root = ::SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_CURRENT,
                                        programData) == S_OK
                         ? programData
                         : "C:\\ProgramData";
  return root + "\\Kestrel\\kestrel-channeld.log";
}

}  // namespace channeld
}  // namespace kestrel
