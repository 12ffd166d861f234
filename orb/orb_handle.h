// A share of one logical broker (see broker_table.h), held by one object.
//
//   Idle     (not started)  --Start-->    Started
//   Started                 --Destroy-->  Idle
//
// Every Start, also one on a started handle, takes one use of the ACE
// library; a successful Destroy gives one back. A failed Start leaves the
// handle Idle; a failed Destroy leaves it Started.
//
// Not thread-safe for Start and Destroy; GetOrb and StringToObject may be
// called from any thread while the handle stays Started.

#ifndef KESTREL_ORB_ORB_HANDLE_H_
#define KESTREL_ORB_ORB_HANDLE_H_

#include <omniORB4/CORBA.h>

#include <string>

#include "kestrel/result_codes.h"

namespace kestrel {

class OrbArgumentList;

class OrbHandle {
 public:
  OrbHandle();
  // Gives the share back (failures ignored) and releases the broker.
  virtual ~OrbHandle();

  OrbHandle(const OrbHandle&) = delete;
  OrbHandle& operator=(const OrbHandle&) = delete;

  // Joins the broker that arguments name, once per started period; every
  // call counts one use of the ACE library. Answers S_OK or the code of
  // what CORBA::ORB_init raised; E_CORBA_INITIALIZE when the arguments'
  // TLS files are not fit (CheckTlsFiles), before anything is taken.
  HRESULT Start(OrbArgumentList& arguments);

  // A new reference to the broker; nil when not started.
  CORBA::ORB_ptr GetOrb() const;

  // Turns a stringified reference ("corbaloc:iiop:...") into a reference
  // that the caller owns. On failure out is left as it was. E_FAIL when not
  // started.
  HRESULT StringToObject(const char* text, CORBA::Object_var& out) const;

  // Gives the share back (the last share of the process destroys the
  // process ORB) and one use of the ACE library. S_OK when not started.
  HRESULT Destroy();

  bool started() const { return started_; }
  const std::string& orbId() const { return orbId_; }

 private:
  CORBA::ORB_var broker_;
  bool started_ = false;
  std::string orbId_;
};

}  // namespace kestrel

#endif  // KESTREL_ORB_ORB_HANDLE_H_
