// kestrel.dll called the way a client of another compiler calls it: through
// the function tables that the interfaces' published layout gives, declared
// here in C style (each method __stdcall, the object first), not through the
// classes of kestrel/notification.h; and the client's own settings and sink
// objects built the same way. On 32-bit Windows a method of another calling
// convention (GCC's default for member functions passes the object in a
// register) reads the wrong arguments and leaves the stack off at every
// call, in both directions. Only the identifiers come from Kestrel's header.

#include <windows.h>

#include <gtest/gtest.h>
#include <kestrel/notification.h>

#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

// The tables as a C client declares them.
struct ForeignObject {
  const void* table;
};
struct FactoryTable {
  HRESULT(__stdcall* QueryInterface)(ForeignObject*, const IID*, void**);
  ULONG(__stdcall* AddRef)(ForeignObject*);
  ULONG(__stdcall* Release)(ForeignObject*);
  HRESULT(__stdcall* CreateInstance)(ForeignObject*, ForeignObject*, const IID*, void**);
  HRESULT(__stdcall* LockServer)(ForeignObject*, BOOL);
};
struct SupplierTable {
  HRESULT(__stdcall* QueryInterface)(ForeignObject*, const IID*, void**);
  ULONG(__stdcall* AddRef)(ForeignObject*);
  ULONG(__stdcall* Release)(ForeignObject*);
  HRESULT(__stdcall* Initialize)(ForeignObject*, ForeignObject*, const char*);
  HRESULT(__stdcall* Publish)(ForeignObject*, uint32_t, uint32_t, const char*);
};
struct ConsumerTable {
  HRESULT(__stdcall* QueryInterface)(ForeignObject*, const IID*, void**);
  ULONG(__stdcall* AddRef)(ForeignObject*);
  ULONG(__stdcall* Release)(ForeignObject*);
  HRESULT(__stdcall* Connect)(ForeignObject*, ForeignObject*, uint32_t);
  HRESULT(__stdcall* Disconnect)(ForeignObject*);
};
struct SettingsTable {
  HRESULT(__stdcall* QueryInterface)(ForeignObject*, const IID*, void**);
  ULONG(__stdcall* AddRef)(ForeignObject*);
  ULONG(__stdcall* Release)(ForeignObject*);
  int32_t(__stdcall* Validate)(ForeignObject*);
  HRESULT(__stdcall* GetHost)(ForeignObject*, char*, int32_t);
  HRESULT(__stdcall* GetPort)(ForeignObject*, int32_t*);
  HRESULT(__stdcall* GetObjectKey)(ForeignObject*, char*, int32_t);
  HRESULT(__stdcall* GetSink)(ForeignObject*, ForeignObject**);
};
struct SinkTable {
  HRESULT(__stdcall* QueryInterface)(ForeignObject*, const IID*, void**);
  ULONG(__stdcall* AddRef)(ForeignObject*);
  ULONG(__stdcall* Release)(ForeignObject*);
  HRESULT(__stdcall* OnEvent)(ForeignObject*, const char*, const char*, uint32_t, uint32_t,
                              const char*);
};

template <typename Table>
const Table* TableOf(ForeignObject* object) {
  return static_cast<const Table*>(object->table);
}

// The client's objects live as long as the test; their counts are checked.
struct Channel {
  std::string host;
  int32_t port = 0;
  std::string key;
};
Channel channel;
LONG settingsReferences = 0;
LONG sinkReferences = 0;
bool giveSink = false;

std::mutex mutex;
std::condition_variable received;
std::string receivedText;
uint32_t receivedSeverity = 0;
uint32_t receivedCode = 0;

HRESULT Copy(const std::string& text, char* buffer, int32_t size) {
  if (buffer == nullptr || size <= 0 || text.size() >= static_cast<size_t>(size)) return E_FAIL;
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return S_OK;
}

ForeignObject sink;

HRESULT __stdcall SettingsQueryInterface(ForeignObject* self, const IID* riid, void** out) {
  if (!IsEqualGUID(*riid, IID_IUnknown) && !IsEqualGUID(*riid, IID_IChannelSettings)) {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  InterlockedIncrement(&settingsReferences);
  *out = self;
  return S_OK;
}
ULONG __stdcall SettingsAddRef(ForeignObject*) { return InterlockedIncrement(&settingsReferences); }
ULONG __stdcall SettingsRelease(ForeignObject*) { return InterlockedDecrement(&settingsReferences); }
int32_t __stdcall Validate(ForeignObject*) { return 0; }
HRESULT __stdcall GetHost(ForeignObject*, char* buffer, int32_t size) {
  return Copy(channel.host, buffer, size);
}
HRESULT __stdcall GetPort(ForeignObject*, int32_t* port) {
  *port = channel.port;
  return S_OK;
}
HRESULT __stdcall GetObjectKey(ForeignObject*, char* buffer, int32_t size) {
  return Copy(channel.key, buffer, size);
}
HRESULT __stdcall GetSink(ForeignObject*, ForeignObject** out) {
  if (!giveSink) {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  InterlockedIncrement(&sinkReferences);
  *out = &sink;
  return S_OK;
}
const SettingsTable settingsTable = {SettingsQueryInterface, SettingsAddRef, SettingsRelease,
                                     Validate, GetHost, GetPort, GetObjectKey, GetSink};
ForeignObject settings = {&settingsTable};

HRESULT __stdcall SinkQueryInterface(ForeignObject* self, const IID* riid, void** out) {
  if (!IsEqualGUID(*riid, IID_IUnknown) && !IsEqualGUID(*riid, IID_INotificationSink)) {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  InterlockedIncrement(&sinkReferences);
  *out = self;
  return S_OK;
}
ULONG __stdcall SinkAddRef(ForeignObject*) { return InterlockedIncrement(&sinkReferences); }
ULONG __stdcall SinkRelease(ForeignObject*) { return InterlockedDecrement(&sinkReferences); }
HRESULT __stdcall OnEvent(ForeignObject*, const char*, const char*, uint32_t severity,
                          uint32_t code, const char* description) {
  std::lock_guard<std::mutex> lock(mutex);
  receivedSeverity = severity;
  receivedCode = code;
  receivedText = description;
  received.notify_all();
  return S_OK;
}
const SinkTable sinkTable = {SinkQueryInterface, SinkAddRef, SinkRelease, OnEvent};

// An object of clsid from the DLL's class factory, as interface riid.
ForeignObject* Create(HMODULE dll, const CLSID& clsid, const IID& riid) {
  using GetClassObject = HRESULT(__stdcall*)(const CLSID*, const IID*, void**);
  auto getClassObject =
      reinterpret_cast<GetClassObject>(reinterpret_cast<void*>(GetProcAddress(dll, "DllGetClassObject")));
  if (getClassObject == nullptr) return nullptr;
  ForeignObject* factory = nullptr;
  if (getClassObject(&clsid, &IID_IClassFactory, reinterpret_cast<void**>(&factory)) != S_OK) {
    return nullptr;
  }
  ForeignObject* object = nullptr;
  HRESULT hr = TableOf<FactoryTable>(factory)->CreateInstance(factory, nullptr, &riid,
                                                              reinterpret_cast<void**>(&object));
  EXPECT_EQ(0u, TableOf<FactoryTable>(factory)->Release(factory));
  return hr == S_OK ? object : nullptr;
}

TEST(ForeignClient, PublishesAndReceivesThroughTheFunctionTables) {
  const char* host = std::getenv("KESTREL_TEST_CHANNEL_HOST");
  const char* port = std::getenv("KESTREL_TEST_CHANNEL_PORT");
  const char* key = std::getenv("KESTREL_TEST_CHANNEL_KEY");
  ASSERT_TRUE(host != nullptr && port != nullptr && key != nullptr)
      << "KESTREL_TEST_CHANNEL_HOST, _PORT, _KEY";
  channel = Channel{host, std::atoi(port), key};
  sink.table = &sinkTable;
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  HMODULE dll = LoadLibraryA("kestrel.dll");
  ASSERT_NE(nullptr, dll);

  ForeignObject* consumer = Create(dll, CLSID_NotificationConsumer, IID_INotificationConsumer);
  ForeignObject* supplier = Create(dll, CLSID_NotificationSupplier, IID_INotificationSupplier);
  ASSERT_NE(nullptr, consumer);
  ASSERT_NE(nullptr, supplier);
  giveSink = true;
  settingsReferences = 1;  // the one that Connect takes over
  ASSERT_EQ(S_OK, TableOf<ConsumerTable>(consumer)->Connect(consumer, &settings, 1));
  EXPECT_EQ(0, settingsReferences);
  giveSink = false;
  settingsReferences = 1;
  ASSERT_EQ(S_OK, TableOf<SupplierTable>(supplier)->Initialize(supplier, &settings, "foreign"));
  EXPECT_EQ(0, settingsReferences);
  const std::string text = "called through the function tables";
  ASSERT_EQ(S_OK, TableOf<SupplierTable>(supplier)->Publish(supplier, 5, 0x3003, text.c_str()));
  {
    std::unique_lock<std::mutex> lock(mutex);
    EXPECT_TRUE(received.wait_for(lock, std::chrono::seconds(30),
                                  [] { return !receivedText.empty(); }));
    EXPECT_EQ(text, receivedText);
    EXPECT_EQ(5u, receivedSeverity);
    EXPECT_EQ(0x3003u, receivedCode);
  }
  EXPECT_EQ(0u, TableOf<SupplierTable>(supplier)->Release(supplier));
  EXPECT_EQ(S_OK, TableOf<ConsumerTable>(consumer)->Disconnect(consumer));
  EXPECT_EQ(0u, TableOf<ConsumerTable>(consumer)->Release(consumer));
  EXPECT_EQ(0, sinkReferences) << "the sink's references were not all given back";
  // Nothing of the library lives on: it may go, as the other tests expect.
  using CanUnloadNow = HRESULT(__stdcall*)();
  auto canUnloadNow =
      reinterpret_cast<CanUnloadNow>(reinterpret_cast<void*>(GetProcAddress(dll, "DllCanUnloadNow")));
  ASSERT_NE(nullptr, canUnloadNow);
  EXPECT_EQ(S_OK, canUnloadNow());
  FreeLibrary(dll);
  CoUninitialize();
}

}  // namespace
