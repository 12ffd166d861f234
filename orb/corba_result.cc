#include "orb/corba_result.h"

namespace kestrel {

namespace {

struct ExceptionRow {
  bool (*matches)(const CORBA::Exception&);
  HRESULT code;
};

template <class Exception>
bool Is(const CORBA::Exception& exception) {
  return dynamic_cast<const Exception*>(&exception) != nullptr;
}

// Tried in order; the first row that matches decides. The order is kept as
// the handlers were always written, though no system exception derives from
// another, so only the codes matter.
const ExceptionRow kExceptionTable[] = {
    {Is<CORBA::COMM_FAILURE>, E_CORBA_COMM_FAILURE},
    {Is<CORBA::UNKNOWN>, E_CORBA_UNKNOWN},
    {Is<CORBA::BAD_PARAM>, E_CORBA_BAD_PARAM},
    {Is<CORBA::NO_MEMORY>, E_CORBA_NO_MEMORY},
    {Is<CORBA::IMP_LIMIT>, E_CORBA_IMP_LIMIT},
    {Is<CORBA::INV_OBJREF>, E_CORBA_IMP_LIMIT},
    {Is<CORBA::OBJECT_NOT_EXIST>, E_CORBA_OBJECT_NOT_EXIST},
    {Is<CORBA::NO_PERMISSION>, E_CORBA_NO_PERMISSION},
    {Is<CORBA::INTERNAL>, E_CORBA_INTERNAL},
    {Is<CORBA::MARSHAL>, E_CORBA_MARSHAL},
    {Is<CORBA::INITIALIZE>, E_CORBA_INITIALIZE},
    {Is<CORBA::NO_IMPLEMENT>, E_CORBA_NO_IMPLEMENT},
    {Is<CORBA::BAD_TYPECODE>, E_CORBA_BAD_TYPECODE},
    {Is<CORBA::BAD_OPERATION>, E_CORBA_BAD_OPERATION},
    {Is<CORBA::NO_RESOURCES>, E_CORBA_NO_RESOURCES},
    {Is<CORBA::NO_RESPONSE>, E_CORBA_NO_RESPONSE},
    {Is<CORBA::PERSIST_STORE>, E_CORBA_PERSIST_STORE},
    {Is<CORBA::BAD_INV_ORDER>, E_CORBA_BAD_INV_ORDER},
    {Is<CORBA::TRANSIENT>, E_CORBA_TRANSIENT},
    {Is<CORBA::FREE_MEM>, E_CORBA_FREE_MEM},
    {Is<CORBA::INV_IDENT>, E_CORBA_INV_IDENT},
    {Is<CORBA::INV_FLAG>, E_CORBA_INV_FLAG},
    {Is<CORBA::INTF_REPOS>, E_CORBA_INTF_REPOS},
    {Is<CORBA::BAD_CONTEXT>, E_CORBA_BAD_CONTEXT},
    {Is<CORBA::OBJ_ADAPTER>, E_CORBA_OBJ_ADAPTER},
    {Is<CORBA::DATA_CONVERSION>, E_CORBA_DATA_CONVERSION},
    {Is<CORBA::INV_POLICY>, E_CORBA_INV_POLICY},
    {Is<CORBA::REBIND>, E_CORBA_REBIND},
    {Is<CORBA::TIMEOUT>, E_CORBA_TIMEOUT},
    {Is<CORBA::TRANSACTION_UNAVAILABLE>, E_CORBA_TRANSACTION_UNAVAILABLE},
    {Is<CORBA::TRANSACTION_MODE>, E_CORBA_TRANSACTION_MODE},
    {Is<CORBA::TRANSACTION_REQUIRED>, E_CORBA_TRANSACTION_REQUIRED},
    {Is<CORBA::TRANSACTION_ROLLEDBACK>, E_CORBA_TRANSACTION_ROLLEDBACK},
    {Is<CORBA::INVALID_TRANSACTION>, E_CORBA_INVALID_TRANSACTION},
    {Is<CORBA::CODESET_INCOMPATIBLE>, E_CORBA_CODESET_INCOMPATIBLE},
    {Is<CORBA::BAD_QOS>, E_CORBA_BAD_QOS},
};

}  // namespace

HRESULT ResultFromException(const CORBA::Exception& exception) {
  for (const ExceptionRow& row : kExceptionTable) {
    if (row.matches(exception)) return row.code;
  }
  return E_CORBA_UNKNOWN;
}

bool IsOutOfReach(HRESULT code) {
  return code == E_CORBA_TRANSIENT || code == E_CORBA_COMM_FAILURE || code == E_CORBA_TIMEOUT;
}

}  // namespace kestrel
