// Kestrel: the notification interfaces and class identifiers.
//
// A client publishes with the supplier class and receives with the consumer
// class; it implements two interfaces of its own that the library calls:
// IChannelSettings (where the channel is, and who receives) and
// INotificationSink (the receiver). A consumer may also select which
// notifications it receives, through INotificationFilter.
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
// {273E7443-FCD8-4A12-A1F5-4849A46E8ACE}
inline constexpr IID IID_INotificationFilter = {
    0x273E7443, 0xFCD8, 0x4A12, {0xA1, 0xF5, 0x48, 0x49, 0xA4, 0x6E, 0x8A, 0xCE}};
// {34C8238E-2057-4AD6-898D-37E447B002D0}
inline constexpr IID IID_ITlsSettings = {
    0x34C8238E, 0x2057, 0x4AD6, {0x89, 0x8D, 0x37, 0xE4, 0x47, 0xB0, 0x02, 0xD0}};

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

// Implemented by the client's settings object beside IChannelSettings, if it
// wants IIOP over TLS with files of its own. Without it, the machine's
// settings decide (TlsCaFile, TlsCertFile, TlsKeyFile and TlsKeyPassword
// under HKEY_LOCAL_MACHINE\SOFTWARE\Tarnwell Networks\Common): TLS when
// TlsCaFile is set. With it, TLS is asked for: each text it writes replaces
// the machine's value, an empty one keeps it, and when no authority file is
// named either way, Initialize and Connect answer E_CORBA_INITIALIZE. They
// answer the same for files that cannot be read or used together. Asked
// once, by Initialize or Connect; the process's first broker takes its
// files, and later objects share that broker.
class ITlsSettings : public IUnknown {
 public:
  // Each writes its text, NUL-terminated, into at most size bytes (paths of
  // PEM files; up to 1023 characters are read).
  virtual HRESULT STDMETHODCALLTYPE GetCertificateFile(char* buffer, int32_t size) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetKeyFile(char* buffer, int32_t size) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetAuthorityFile(char* buffer, int32_t size) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetKeyPassword(char* buffer, int32_t size) = 0;
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
  // over one reference to settings, as Initialize does. Only notifications
  // that the consumer's selection lets through arrive (see
  // INotificationFilter below); without one, all do.
  virtual HRESULT STDMETHODCALLTYPE Connect(IUnknown* settings, uint32_t threadCount) = 0;
  // Stops the deliveries and releases the sink.
  // Must not be called from a delivery thread.
  virtual HRESULT STDMETHODCALLTYPE Disconnect() = 0;
};

// The consumer's selection: which notifications reach its sink. Found by
// QueryInterface on the consumer object; set it before Connect.
//
//   INotificationFilter* filter = nullptr;
//   consumer->QueryInterface(IID_INotificationFilter, (void**)&filter);
//   filter->SetConstraint("$.remainder_of_body.mSeverity >= 4");
//   filter->Release();
//   consumer->Connect(settings, 1);   // only severities from 4 up arrive
//
// A constraint is written in the constraint language of CosNotification
// filters (EXTENDED_TCL) and sees each notification as the structured event
// that carries it: the record is $.remainder_of_body, with the members
// mModule, mHost, mSeverity, mMessageCode and mDescription, and Kestrel's
// suppliers publish with $domain_name 'TNW', $type_name 'Event' and
// $event_name 'SystemEvent'. For example
//
//   $.remainder_of_body.mSeverity >= 4
//   $.remainder_of_body.mModule == 'disk' and $.remainder_of_body.mSeverity > 2
//   'full' ~ $.remainder_of_body.mDescription      (a substring of the description)
//
// A notification reaches the sink when the constraint is true for it; one
// that the constraint cannot be evaluated for (a comparison of a number
// with a text, say) does not.
//
// Where the channel's service has filters, each Connect, and each
// reconnection that the consumer makes by itself, attaches the constraint
// to the consumer's proxy as a filter of the service's, so that what is not
// selected is not sent at all; the consumer destroys that filter when it
// disconnects. A service that has no filters, refuses this one or ignores
// it changes nothing: the consumer evaluates the constraint itself on every
// notification before it calls the sink, so that the same notifications
// arrive through any service.
class INotificationFilter : public IUnknown {
 public:
  // Sets the constraint that the next Connect applies, replacing the one
  // set before. A null or empty constraint clears the selection: every
  // notification reaches the sink again. Answers:
  //   S_OK          the constraint is set, or the selection cleared
  //   E_INVALIDARG  the constraint is malformed (or longer than 65536
  //                 characters); the selection stays as it was
  //   E_UNEXPECTED  the consumer is connected, or the call comes from its
  //                 sink's OnEvent; nothing changes
  //   E_OUTOFMEMORY nothing changes
  // REQUIRES: the consumer is not connected: no Connect has succeeded since
  // the last Disconnect. A selection never changes under a connection, so
  // the service's filter and the consumer's own evaluation always agree.
  virtual HRESULT STDMETHODCALLTYPE SetConstraint(const char* constraint) = 0;
};

#endif  // KESTREL_NOTIFICATION_H_
