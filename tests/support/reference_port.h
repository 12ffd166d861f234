// The port that an object reference names: for tests that serve an object
// themselves and give its address to the code under test.

#ifndef KESTREL_TESTS_SUPPORT_REFERENCE_PORT_H_
#define KESTREL_TESTS_SUPPORT_REFERENCE_PORT_H_

#include <omniORB4/CORBA.h>
#include <omniORB4/IIOP.h>
#include <omniORB4/omniIOR.h>

namespace kestrel {
namespace testing {

// The port of the first IIOP profile of a reference; 0 when there is none.
inline int PortInReference(CORBA::Object_ptr reference) {
  omniIOR* ior = reference->_PR_getobj()->_getIOR();
  int port = 0;
  const IOP::TaggedProfileList& profiles = ior->iopProfiles();
  for (CORBA::ULong i = 0; i < profiles.length() && port == 0; ++i) {
    if (profiles[i].tag != IOP::TAG_INTERNET_IOP) continue;
    IIOP::ProfileBody body;
    IIOP::unmarshalProfile(profiles[i], body);
    port = body.address.port;
  }
  ior->release();
  return port;
}

}  // namespace testing
}  // namespace kestrel

#endif  // KESTREL_TESTS_SUPPORT_REFERENCE_PORT_H_
