// The one conversion from a CORBA exception to a result code.
//
// Every operation that calls the broker runs its calls inside Guarded(), so
// the first exception ends the operation with the code of its type.
// User exceptions and exceptions without a row of their own give
// E_CORBA_UNKNOWN; INV_OBJREF gives E_CORBA_IMP_LIMIT.

#ifndef KESTREL_ORB_CORBA_RESULT_H_
#define KESTREL_ORB_CORBA_RESULT_H_

#include <omniORB4/CORBA.h>

#include <new>

#include "kestrel/result_codes.h"

namespace kestrel {

HRESULT ResultFromException(const CORBA::Exception& exception);

// True for the codes of a call that did not reach the far side or got no
// answer in time (TRANSIENT, COMM_FAILURE, TIMEOUT): the object called may
// exist still, at a service that is down, hung or cut off. Every other
// code is an answer: the service's, or the broker's own (to a malformed
// address, say).
bool IsOutOfReach(HRESULT code);

// Runs body, which answers an HRESULT; a CORBA exception that it raises is
// answered with its code instead, and so is omniORB's fatalException (an
// assertion inside omniORB, which would otherwise end the client's process)
// with INTERNAL's. Nothing else gets through either: memory that ran out is
// E_OUTOFMEMORY, anything stranger E_UNEXPECTED.
template <class Body>
HRESULT Guarded(Body&& body) {
  try {
    return body();
  } catch (const CORBA::Exception& exception) {
    return ResultFromException(exception);
  } catch (const omniORB::fatalException&) {
    return E_CORBA_INTERNAL;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

// Runs body where nothing may leave: the first function of a thread that
// the library starts, and code that ACE's reactor or omniORB calls into. An
// exception that left such code would reach std::terminate and end the
// client's process; here it ends with body.
template <class Body>
void Contained(Body&& body) noexcept {
  try {
    body();
  } catch (...) {
  }
}

}  // namespace kestrel

#endif  // KESTREL_ORB_CORBA_RESULT_H_
