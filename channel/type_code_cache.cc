#include "channel/type_code_cache.h"

#include <utility>

namespace kestrel {

CORBA::TypeCode_ptr TypeCodeCache::Find(cdrMemoryStream& encoding) {
  std::string bytes(static_cast<const char*>(encoding.bufPtr()), encoding.bufSize());
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (std::size_t i = 0; i < entries_.size(); ++i) {
      if (entries_[i].encoding != bytes) continue;
      if (i != 0) std::swap(entries_[0], entries_[i]);
      return CORBA::TypeCode::_duplicate(entries_[0].type.in());
    }
  }
  // Built outside the lock: a new type code takes omniORB's own locks.
  CORBA::TypeCode_var type = CORBA::TypeCode::unmarshalTypeCode(encoding);
  std::lock_guard<std::mutex> lock(mutex_);
  if (entries_.size() == kCapacity) entries_.pop_back();
  entries_.insert(entries_.begin(), Entry{std::move(bytes), CORBA::TypeCode::_duplicate(type.in())});
  return type._retn();
}

}  // namespace kestrel
