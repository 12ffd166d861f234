#include "orb/orb_handle.h"

#include <cstdlib>

#include "orb/broker_table.h"
#include "orb/corba_result.h"
#include "orb/library_use.h"
#include "orb/orb_argument_list.h"

namespace kestrel {

OrbHandle::OrbHandle() : broker_(CORBA::ORB::_nil()) {}

OrbHandle::~OrbHandle() {
  if (Destroy() != S_OK) {
    // A broker that cannot be destroyed is given up, so that the process
    // can start a fresh one later.
    BrokerTable::instance().Abandon(orbId_);
    ReleaseAceLibrary();
  }
}

HRESULT OrbHandle::Start(OrbArgumentList& arguments) {
  // Checked on every start: a broker that could not present its
  // certificate would fail later, call by call, for no reason it could give.
  if (!started_ && arguments.tls().enabled() && !CheckTlsFiles(arguments.tls()).empty()) {
    return E_CORBA_INITIALIZE;
  }
  AcquireAceLibrary();
  if (started_) return S_OK;
  BrokerOptions options = TranslateBrokerArguments(arguments.count(), arguments.BuildArgv(),
                                                   arguments.tls(), std::getenv("ORBendPoint"));
  return Guarded([&] {
    broker_ = BrokerTable::instance().Join(options);
    orbId_ = options.orbId;
    started_ = true;
    return S_OK;
  });
}

CORBA::ORB_ptr OrbHandle::GetOrb() const { return CORBA::ORB::_duplicate(broker_); }

HRESULT OrbHandle::StringToObject(const char* text, CORBA::Object_var& out) const {
  if (!started_ || text == nullptr) return E_FAIL;
  return Guarded([&] {
    out = broker_->string_to_object(text);
    return S_OK;
  });
}

HRESULT OrbHandle::Destroy() {
  if (!started_) return S_OK;
  HRESULT hr = Guarded([this] {
    BrokerTable::instance().Leave(orbId_);
    return S_OK;
  });
  if (FAILED(hr)) return hr;
  broker_ = CORBA::ORB::_nil();
  ReleaseAceLibrary();
  started_ = false;
  return S_OK;
}

}  // namespace kestrel
