// The type codes that one sender keeps sending. A supplier sends the same
// few type codes with every event (its body's, its properties'); building
// each one anew, and taking it apart again when the event goes, costs more
// than the rest of reading the event. A cache keyed by the type code's
// screened encoding hands back the one built before.
//
// Thread-safe. omniORB's type codes may be shared between threads: their
// reference counts are kept under omniORB's lock.

#ifndef KESTREL_CHANNEL_TYPE_CODE_CACHE_H_
#define KESTREL_CHANNEL_TYPE_CODE_CACHE_H_

#include <omniORB4/CORBA.h>

#include <mutex>
#include <string>
#include <vector>

namespace kestrel {

class TypeCodeCache {
 public:
  // Type codes kept, the most recently used first: enough for an event's
  // body and a few kinds of property.
  static constexpr std::size_t kCapacity = 8;

  TypeCodeCache() = default;
  TypeCodeCache(const TypeCodeCache&) = delete;
  TypeCodeCache& operator=(const TypeCodeCache&) = delete;

  // The type code that encoding (one type code, screened, in this
  // machine's byte order) describes: a new reference to the one kept for
  // the same bytes, or one unmarshalled now and kept. Raises what
  // unmarshalling raises.
  CORBA::TypeCode_ptr Find(cdrMemoryStream& encoding);

 private:
  struct Entry {
    std::string encoding;
    CORBA::TypeCode_var type;
  };

  std::mutex mutex_;
  std::vector<Entry> entries_;
};

}  // namespace kestrel

#endif  // KESTREL_CHANNEL_TYPE_CODE_CACHE_H_
