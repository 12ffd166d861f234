// kestrel.dll as Windows programs see it, run under Wine: registration with
// regsvr32 read back through the registry API, activation through COM by
// ProgID, aggregation, unloading and loading again, and notifications
// published and received from both kinds of apartment.
//
// The channel service is a native one that the driver (windows_interop_test
// on Linux) starts; it names it in KESTREL_TEST_CHANNEL_HOST, _PORT and _KEY.

#include <windows.h>

#include <gtest/gtest.h>
#include <kestrel/kestrel.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "channel_settings.h"
#include "tests/support/counting_outer.h"
#include "tests/support/recording_sink.h"

namespace {

using kestrel::testing::CountingOuter;
using kestrel::testing::ExpectClientInterfaceCountsOnOuter;
using kestrel::testing::ReceivedEvent;
using kestrel::testing::RecordingSink;

constexpr const char* kSupplierName = "Tarnwell Networks System Notification Supplier";
constexpr const char* kConsumerName = "Tarnwell Networks System Notification Consumer";
constexpr const char* kSupplierClsid = "{EA1B5AA6-69A5-4EC7-825E-154A09FF80FD}";
constexpr const char* kConsumerClsid = "{3847351D-1616-4B7F-AA0D-01A0F36AAA3C}";
constexpr const char* kDllName = "kestrel.dll";

// kestrel.dll sits beside this program.
std::string DllPath() {
  char path[MAX_PATH];
  DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string folder(path, length);
  return folder.substr(0, folder.find_last_of("\\/") + 1) + kDllName;
}

// Runs command line and answers its exit code, or -1 when it cannot run.
int Run(std::string commandLine) {
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessA(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return -1;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<int>(code);
}

int Regsvr32(const std::string& options) {
  return Run("regsvr32.exe " + options + " \"" + DllPath() + "\"");
}

// A string value under HKEY_CLASSES_ROOT, or "<missing>".
std::string ClassesValue(const std::string& key, const char* name = nullptr) {
  char data[1024];
  DWORD size = sizeof data;
  if (RegGetValueA(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, data, &size) !=
      ERROR_SUCCESS) {
    return "<missing>";
  }
  return data;
}

bool ClassesKeyExists(const std::string& key) {
  HKEY opened = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(opened);
  return true;
}

// Every key and value below key, one line each, in the registry's order.
void DumpTree(HKEY parent, const std::string& path, std::string* out) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(parent, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  out->append("[" + path + "]\n");
  char name[256];
  BYTE data[1024];
  for (DWORD i = 0;; ++i) {
    DWORD nameLength = sizeof name;
    DWORD dataLength = sizeof data;
    DWORD type = 0;
    if (RegEnumValueA(key, i, name, &nameLength, nullptr, &type, data, &dataLength) != ERROR_SUCCESS) {
      break;
    }
    out->append(std::string(name) + "=" + std::to_string(type) + ":" +
                std::string(reinterpret_cast<char*>(data), dataLength) + "\n");
  }
  for (DWORD i = 0;; ++i) {
    DWORD nameLength = sizeof name;
    if (RegEnumKeyExA(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
      break;
    }
    DumpTree(parent, path + "\\" + name, out);
  }
  RegCloseKey(key);
}

std::string DumpClasses() {
  std::string dump;
  for (const std::string& root : {std::string("CLSID\\") + kSupplierClsid, std::string(kSupplierName),
                                  std::string(kSupplierName) + ".1", std::string("CLSID\\") + kConsumerClsid,
                                  std::string(kConsumerName), std::string(kConsumerName) + ".1"}) {
    DumpTree(HKEY_CLASSES_ROOT, root, &dump);
  }
  return dump;
}

void ExpectClassRegistered(const char* clsid, const char* name) {
  const std::string clsidKey = std::string("CLSID\\") + clsid;
  const std::string progId = std::string(name) + ".1";
  EXPECT_EQ(name, ClassesValue(clsidKey));
  EXPECT_EQ(0, _stricmp(DllPath().c_str(), ClassesValue(clsidKey + "\\InprocServer32").c_str()))
      << ClassesValue(clsidKey + "\\InprocServer32");
  EXPECT_EQ("Both", ClassesValue(clsidKey + "\\InprocServer32", "ThreadingModel"));
  EXPECT_EQ(progId, ClassesValue(clsidKey + "\\ProgID"));
  EXPECT_EQ(name, ClassesValue(clsidKey + "\\VersionIndependentProgID"));
  EXPECT_EQ(name, ClassesValue(name));
  EXPECT_EQ(clsid, ClassesValue(std::string(name) + "\\CLSID"));
  EXPECT_EQ(progId, ClassesValue(std::string(name) + "\\CurVer"));
  EXPECT_EQ(name, ClassesValue(progId));
  EXPECT_EQ(clsid, ClassesValue(progId + "\\CLSID"));
}

void ExpectClassGone(const char* clsid, const char* name) {
  EXPECT_FALSE(ClassesKeyExists(std::string("CLSID\\") + clsid));
  EXPECT_FALSE(ClassesKeyExists(name));
  EXPECT_FALSE(ClassesKeyExists(std::string(name) + ".1"));
}

// The tests below the registration group need the classes registered.
class RegisteredClasses : public ::testing::Environment {
 public:
  void SetUp() override { ASSERT_EQ(0, Regsvr32("/s")); }
  void TearDown() override { EXPECT_EQ(0, Regsvr32("/u /s")); }
};

TEST(Registration, Regsvr32WritesEveryKeyOfBothClasses) {
  ASSERT_EQ(0, Regsvr32("/s"));
  ExpectClassRegistered(kSupplierClsid, kSupplierName);
  ExpectClassRegistered(kConsumerClsid, kConsumerName);
}

TEST(Registration, RegisteringAgainChangesNothing) {
  ASSERT_EQ(0, Regsvr32("/s"));
  const std::string once = DumpClasses();
  ASSERT_EQ(0, Regsvr32("/s"));
  EXPECT_EQ(once, DumpClasses());
  // Ten keys' worth of values per class: nothing more was written.
  EXPECT_EQ(2u * 9, static_cast<size_t>(std::count(once.begin(), once.end(), '[')));
}

TEST(Registration, UnregisteringRemovesWholeTreesAndMayBeRepeated) {
  ASSERT_EQ(0, Regsvr32("/s"));
  HKEY added = nullptr;
  const std::string foreign = std::string("CLSID\\") + kSupplierClsid + "\\Added\\Deeper";
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CLASSES_ROOT, foreign.c_str(), 0, nullptr, 0,
                                           KEY_ALL_ACCESS, nullptr, &added, nullptr));
  RegCloseKey(added);

  EXPECT_EQ(0, Regsvr32("/u /s"));
  ExpectClassGone(kSupplierClsid, kSupplierName);
  ExpectClassGone(kConsumerClsid, kConsumerName);
  EXPECT_EQ(0, Regsvr32("/u /s"));

  HMODULE dll = LoadLibraryA(DllPath().c_str());
  ASSERT_NE(nullptr, dll);
  auto unregister = reinterpret_cast<HRESULT(WINAPI*)()>(
      reinterpret_cast<void*>(GetProcAddress(dll, "DllUnregisterServer")));
  ASSERT_NE(nullptr, unregister);
  EXPECT_EQ(S_OK, unregister());
  FreeLibrary(dll);
  ASSERT_EQ(0, Regsvr32("/s"));
}

// A copy of kestrel.dll whose path does not fit the 512 characters that
// registration reads it into: a shortened path would name another file.
TEST(Registration, APathTooLongToReadIsRefusedAndNothingIsWritten) {
  ASSERT_EQ(0, Regsvr32("/s"));
  // The wide functions take paths longer than MAX_PATH.
  wchar_t temporary[MAX_PATH];
  ASSERT_NE(0u, GetTempPathW(MAX_PATH, temporary));
  std::wstring folder = std::wstring(temporary) + L"kestrel-long-path";
  std::vector<std::wstring> created;
  for (;;) {
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS)
        << folder.size() << " characters: error " << GetLastError();
    created.push_back(folder);
    if (folder.size() > 520) break;
    folder += L"\\a-folder-with-a-long-name";
  }
  const std::string dllPath = DllPath();
  const std::wstring copy = folder + L"\\kestrel.dll";
  ASSERT_TRUE(CopyFileW(std::wstring(dllPath.begin(), dllPath.end()).c_str(), copy.c_str(), FALSE))
      << GetLastError();
  HMODULE dll = LoadLibraryW(copy.c_str());
  ASSERT_NE(nullptr, dll) << GetLastError();
  auto registerServer = reinterpret_cast<HRESULT(WINAPI*)()>(
      reinterpret_cast<void*>(GetProcAddress(dll, "DllRegisterServer")));
  ASSERT_NE(nullptr, registerServer);
  const std::string before = DumpClasses();
  EXPECT_EQ(SELFREG_E_CLASS, registerServer());
  EXPECT_EQ(before, DumpClasses());
  FreeLibrary(dll);
  DeleteFileW(copy.c_str());
  for (auto it = created.rbegin(); it != created.rend(); ++it) RemoveDirectoryW(it->c_str());
}

TEST(Activation, BothClassesAreCreatedByEitherProgId) {
  struct Case {
    const char* name;
    const CLSID* clsid;
    const IID* iid;
    const IID* otherIid;
  };
  for (const Case& c : {Case{kSupplierName, &CLSID_NotificationSupplier, &IID_INotificationSupplier,
                             &IID_INotificationConsumer},
                        Case{kConsumerName, &CLSID_NotificationConsumer, &IID_INotificationConsumer,
                             &IID_INotificationSupplier}}) {
    for (const std::string& progId : {std::string(c.name), std::string(c.name) + ".1"}) {
      SCOPED_TRACE(progId);
      std::wstring wide(progId.begin(), progId.end());
      CLSID clsid;
      ASSERT_EQ(S_OK, CLSIDFromProgID(wide.c_str(), &clsid));
      EXPECT_TRUE(IsEqualGUID(*c.clsid, clsid));
      IUnknown* object = nullptr;
      ASSERT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, *c.iid,
                                       reinterpret_cast<void**>(&object)));
      IUnknown* identity = nullptr;
      ASSERT_EQ(S_OK, object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
      void* other = nullptr;
      EXPECT_EQ(E_NOINTERFACE, object->QueryInterface(*c.otherIid, &other));
      EXPECT_EQ(nullptr, other);
      identity->Release();
      EXPECT_EQ(0u, object->Release());
    }
  }
}

TEST(Activation, AnOuterObjectGetsTheInnerIdentityOnly) {
  CountingOuter outer;
  void* refused = nullptr;
  EXPECT_EQ(CLASS_E_NOAGGREGATION, CoCreateInstance(CLSID_NotificationSupplier, &outer,
                                                    CLSCTX_INPROC_SERVER, IID_INotificationSupplier,
                                                    &refused));
  IUnknown* inner = nullptr;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_NotificationSupplier, &outer, CLSCTX_INPROC_SERVER,
                                   IID_IUnknown, reinterpret_cast<void**>(&inner)));
  outer.inner = inner;
  ExpectClientInterfaceCountsOnOuter(&outer, inner);
  EXPECT_EQ(0u, inner->Release());
}

HRESULT CallCanUnloadNow() {
  HMODULE dll = GetModuleHandleA(kDllName);
  if (dll == nullptr) return E_UNEXPECTED;
  auto canUnloadNow = reinterpret_cast<HRESULT(WINAPI*)()>(
      reinterpret_cast<void*>(GetProcAddress(dll, "DllCanUnloadNow")));
  return canUnloadNow != nullptr ? canUnloadNow() : E_UNEXPECTED;
}

TEST(Activation, TheLibraryMayUnloadOnlyWithoutObjectsOrLocks) {
  IClassFactory* factory = nullptr;
  ASSERT_EQ(S_OK, CoGetClassObject(CLSID_NotificationConsumer, CLSCTX_INPROC_SERVER, nullptr,
                                   IID_IClassFactory, reinterpret_cast<void**>(&factory)));
  INotificationConsumer* consumer = nullptr;
  ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_INotificationConsumer,
                                          reinterpret_cast<void**>(&consumer)));
  EXPECT_EQ(S_FALSE, CallCanUnloadNow());
  consumer->Release();
  EXPECT_EQ(S_OK, CallCanUnloadNow());
  ASSERT_EQ(S_OK, factory->LockServer(TRUE));
  EXPECT_EQ(S_FALSE, CallCanUnloadNow());
  ASSERT_EQ(S_OK, factory->LockServer(FALSE));
  EXPECT_EQ(S_OK, CallCanUnloadNow());
  factory->Release();
}

struct Channel {
  std::string host;
  int32_t port = 0;
  std::string key;
};

bool ChannelFromEnvironment(Channel* channel) {
  const char* host = std::getenv("KESTREL_TEST_CHANNEL_HOST");
  const char* port = std::getenv("KESTREL_TEST_CHANNEL_PORT");
  const char* key = std::getenv("KESTREL_TEST_CHANNEL_KEY");
  if (host == nullptr || port == nullptr || key == nullptr) return false;
  *channel = Channel{host, std::atoi(port), key};
  return channel->port > 0;
}

// Connects a consumer, publishes one notification that names tag, and
// checks that the sink received it on a thread other than the caller's.
void PublishAndReceive(const std::string& tag) {
  Channel channel;
  ASSERT_TRUE(ChannelFromEnvironment(&channel)) << "KESTREL_TEST_CHANNEL_HOST, _PORT, _KEY";
  RecordingSink sink;
  INotificationConsumer* consumer = nullptr;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_NotificationConsumer, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_INotificationConsumer, reinterpret_cast<void**>(&consumer)));
  ASSERT_EQ(S_OK, consumer->Connect(new ChannelSettings(channel.host, channel.port, channel.key, &sink), 1));
  INotificationSupplier* supplier = nullptr;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_NotificationSupplier, nullptr, CLSCTX_INPROC_SERVER,
                                   IID_INotificationSupplier, reinterpret_cast<void**>(&supplier)));
  ASSERT_EQ(S_OK, supplier->Initialize(new ChannelSettings(channel.host, channel.port, channel.key),
                                       "wine"));
  EXPECT_EQ(S_OK, supplier->Publish(4, 0x2002, tag.c_str()));
  ASSERT_TRUE(sink.WaitForEvents(1, std::chrono::seconds(30)));
  ReceivedEvent event = sink.events()[0];
  EXPECT_EQ("wine", event.module);
  EXPECT_NE("", event.host);
  EXPECT_EQ(4u, event.severity);
  EXPECT_EQ(0x2002u, event.messageCode);
  EXPECT_EQ(tag, event.description);
  EXPECT_EQ(0u, sink.threads().count(std::this_thread::get_id()));
  EXPECT_EQ(0u, supplier->Release());
  EXPECT_EQ(S_OK, consumer->Disconnect());
  EXPECT_EQ(0u, consumer->Release());
}

// Runs body on a thread of its own in the given apartment.
void InApartment(DWORD model, const std::function<void()>& body) {
  std::thread thread([&] {
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, model));
    body();
    CoUninitialize();
  });
  thread.join();
}

TEST(Apartments, SingleThreadedClientPublishesAndReceives) {
  InApartment(COINIT_APARTMENTTHREADED, [] { PublishAndReceive("from a single-threaded apartment"); });
}

TEST(Apartments, MultithreadedClientPublishesAndReceives) {
  InApartment(COINIT_MULTITHREADED, [] { PublishAndReceive("from the multithreaded apartment"); });
}

// The library runs broker threads while objects live; once the last one is
// gone, COM may unload it, and none of its threads may still be running
// then: the process would fault when the code under them vanished.
TEST(Unloading, FreeUnusedLibrariesUnloadsAndALaterCreateLoadsAgain) {
  PublishAndReceive("before unloading");
  for (int attempt = 0; attempt < 100 && GetModuleHandleA(kDllName) != nullptr; ++attempt) {
    CoFreeUnusedLibrariesEx(0, 0);
    Sleep(100);
  }
  ASSERT_EQ(nullptr, GetModuleHandleA(kDllName));
  // Time for any thread left behind to run into unmapped code.
  Sleep(1000);
  PublishAndReceive("after loading again");
  EXPECT_NE(nullptr, GetModuleHandleA(kDllName));
}

bool UnloadWithin(DWORD milliseconds) {
  for (DWORD waited = 0; GetModuleHandleA(kDllName) != nullptr && waited < milliseconds; waited += 50) {
    CoFreeUnusedLibrariesEx(0, 0);
    Sleep(50);
  }
  return GetModuleHandleA(kDllName) == nullptr;
}

// The thread-local slots that this process could still allocate.
int FreeThreadSlots() {
  std::vector<DWORD> taken;
  for (DWORD slot; (slot = TlsAlloc()) != TLS_OUT_OF_INDEXES;) taken.push_back(slot);
  for (DWORD slot : taken) TlsFree(slot);
  return static_cast<int>(taken.size());
}

// COM loads the library on whichever thread first creates an object and
// may unload it on another, such as a program's idle loop. Each load must
// give back what it took: a process has about a thousand thread-local
// slots, and a load that found none left would end the process.
TEST(Unloading, LoadingOnOneThreadAndUnloadingOnAnotherKeepsNoThreadSlot) {
  ASSERT_TRUE(UnloadWithin(10000)) << "kestrel.dll stayed loaded";
  const int freeBefore = FreeThreadSlots();
  const std::string path = DllPath();
  for (int round = 0; round < 5; ++round) {
    HMODULE dll = nullptr;
    std::thread([&dll, &path] { dll = LoadLibraryA(path.c_str()); }).join();
    ASSERT_NE(nullptr, dll) << GetLastError();
    ASSERT_TRUE(FreeLibrary(dll));
    ASSERT_EQ(nullptr, GetModuleHandleA(kDllName)) << "round " << round;
  }
  EXPECT_EQ(freeBefore, FreeThreadSlots());
}

// What a desktop program that publishes on each button press does, or a
// service that serves each request on a new worker thread: create objects,
// use them, release them, and create again at once, on a new thread, while
// the broker of the previous round may still be winding down; every other
// round, COM unloads the library in between. Every call must answer S_OK
// and every notification arrive, round after round.
TEST(Repeated, CreatingAgainRightAfterReleasingOrUnloadingAlwaysWorks) {
  constexpr int kRounds = 50;
  for (int round = 0; round < kRounds && !::testing::Test::HasFailure(); ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    DWORD apartment = round % 4 < 2 ? COINIT_APARTMENTTHREADED : COINIT_MULTITHREADED;
    InApartment(apartment, [round] { PublishAndReceive("round " + std::to_string(round)); });
    if (round % 2 == 1) EXPECT_TRUE(UnloadWithin(10000)) << "kestrel.dll stayed loaded";
  }
}

}  // namespace

int main(int argc, char** argv) {
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new RegisteredClasses);
  int status = RUN_ALL_TESTS();
  CoUninitialize();
  return status;
}
