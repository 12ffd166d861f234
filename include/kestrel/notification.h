// Kestrel: the notification interfaces and class identifiers.
//
// A client publishes with the supplier class and receives with the consumer
// class; it implements two interfaces of its own that the library calls:
// IChannelSettings (where the channel is, and who receives) and
// INotificationSink (the receiver).
//
//   IUnknown* unknown = ...;   // see kestrel/activation.h
//   INotificationSupplier* supplier = nullptr;
//   unknown->QueryInterface(IID_INotificationSupplier, (void**)&supplier);
//   settings->AddRef();        // Initialize takes one reference over
//   supplier->Initialize(settings, "my-module");
//   supplier->Publish(3, 0x1001, "disk almost full");
//   supplier->Release();
//
// Strings are narrow and NUL-terminated. Severity and message code are plain
// 32-bit numbers that Kestrel passes on unchanged.

#ifndef KESTREL_NOTIFICATION_H_
#define KESTREL_NOTIFICATION_H_

#include "kestrel/com.h"
#include "kestrel/result_codes.h"

// {07D8E092-A8D7-4977-ACCB-BF2F29E141E3}
inline constexpr IID IID_INotificationSupplier = {
    0x07D8E092, 0xA8D7, 0x4977, {0xAC, 0xCB, 0xBF, 0x2F, 0x29, 0xE1, 0x41, 0xE3}};
// {AC8A83F8-DE20-446E-AE77-7EDA5FC55FD6}
inline constexpr IID IID_INotificationConsumer = {
    0xAC8A83F8, 0xDE20, 0x446E, {0xAE, 0x77, 0x7E, 0xDA, 0x5F, 0xC5, 0x5F, 0xD6}};
// {CF7BE4EF-700E-4BB9-9D7E-19D933CD8C5D}
inline constexpr IID IID_IChannelSettings = {
    0xCF7BE4EF, 0x700E, 0x4BB9, {0x9D, 0x7E, 0x19, 0xD9, 0x33, 0xCD, 0x8C, 0x5D}};
// {E1E7A591-E146-434A-89E8-8298F3FDAC2B}
inline constexpr IID IID_INotificationSink = {
    0xE1E7A591, 0xE146, 0x434A, {0x89, 0xE8, 0x82, 0x98, 0xF3, 0xFD, 0xAC, 0x2B}};

// "Tarnwell Networks System Notification Supplier"
// {EA1B5AA6-69A5-4EC7-825E-154A09FF80FD}
inline constexpr CLSID CLSID_NotificationSupplier = {
    0xEA1B5AA6, 0x69A5, 0x4EC7, {0x82, 0x5E, 0x15, 0x4A, 0x09, 0xFF, 0x80, 0xFD}};
// "Tarnwell Networks System Notification Consumer"
// {3847351D-1616-4B7F-AA0D-01A0F36AAA3C}
inline constexpr CLSID CLSID_NotificationConsumer = {
    0x3847351D, 0x1616, 0x4B7F, {0xAA, 0x0D, 0x01, 0xA0, 0xF3, 0x6A, 0xAA, 0x3C}};

// Implemented by the client: where the notification channel is.
class IChannelSettings : public IUnknown {
 public:
  // 0 lets the library use the settings; any other value refuses them.
  virtual int32_t STDMETHODCALLTYPE Validate() = 0;
  // Writes the service's host name or address, NUL-terminated, into at most
  // size bytes.
  virtual HRESULT STDMETHODCALLTYPE GetHost(char* buffer, int32_t size) = 0;
  // Stores the service's TCP port; only the low 16 bits are used.
  virtual HRESULT STDMETHODCALLTYPE GetPort(int32_t* port) = 0;
  // Writes the channel's object key as GetHost writes the host.
  virtual HRESULT STDMETHODCALLTYPE GetObjectKey(char* buffer, int32_t size) = 0;
  // Consumer only: stores a new reference on the object that receives the
  // events; the library asks it for INotificationSink.
  virtual HRESULT STDMETHODCALLTYPE GetSink(IUnknown** sink) = 0;
};

// Implemented by the client: receives the notifications of a consumer.
class INotificationSink : public IUnknown {
 public:
  // Called on a library thread, never on the thread that called Connect, and
  // on at most threadCount threads of one consumer at once. The strings stay
  // valid until the call returns. The result is not looked at.
  virtual HRESULT STDMETHODCALLTYPE OnEvent(const char* module, const char* host, uint32_t severity,
                                            uint32_t messageCode, const char* description) = 0;
};

// The supplier's client interface.
class INotificationSupplier : public IUnknown {
 public:
  // Prepares the object to publish on the channel that settings names, with
  // moduleName as the reporting module. Takes over one reference to
  // settings: it is released exactly once before the call returns.
  virtual HRESULT STDMETHODCALLTYPE Initialize(IUnknown* settings, const char* moduleName) = 0;
  // Publishes one notification on the caller's thread.
  // REQUIRES: Initialize answered S_OK.
  virtual HRESULT STDMETHODCALLTYPE Publish(uint32_t severity, uint32_t messageCode,
                                            const char* description) = 0;
};

// The consumer's client interface.
class INotificationConsumer : public IUnknown {
 public:
  // Connects to the channel that settings names and hands every notification
  // to the sink that settings gives, on threadCount library threads. Takes
  // over one reference to settings, as Initialize does.
  virtual HRESULT STDMETHODCALLTYPE Connect(IUnknown* settings, uint32_t threadCount) = 0;
  // Stops the deliveries and releases the sink.
  // Must not be called from a delivery thread.
  virtual HRESULT STDMETHODCALLTYPE Disconnect() = 0;
};

#endif  // KESTREL_NOTIFICATION_H_
