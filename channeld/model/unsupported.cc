#include "channeld/model/unsupported.h"

namespace kestrel {
namespace channeld {

void RaiseNoImplement() { throw CORBA::NO_IMPLEMENT(0, CORBA::COMPLETED_NO); }

}  // namespace channeld
}  // namespace kestrel
