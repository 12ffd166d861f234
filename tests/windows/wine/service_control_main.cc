// service_control NAME CODE: sends the control code CODE to the service
// NAME, as "sc control NAME CODE" does on Windows (Wine's sc has no control
// command). Exit status 0 when the service took it.

#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: service_control NAME CODE\n");
    return 2;
  }
  SC_HANDLE manager = ::OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service =
      manager != nullptr ? ::OpenServiceA(manager, argv[1], SERVICE_USER_DEFINED_CONTROL) : nullptr;
  SERVICE_STATUS status;
  bool sent = service != nullptr &&
              ::ControlService(service, static_cast<DWORD>(std::atoi(argv[2])), &status);
  if (!sent) std::fprintf(stderr, "service_control: error %lu\n", ::GetLastError());
  if (service != nullptr) ::CloseServiceHandle(service);
  if (manager != nullptr) ::CloseServiceHandle(manager);
  return sent ? 0 : 1;
}
