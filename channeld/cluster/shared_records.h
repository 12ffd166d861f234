// Records that every instance of a cluster shares, in a replicated
// key-value bucket: what the service's objects are (so that any instance
// serves any of them) and who delivers to which consumer (leases). Every
// change of a key advances its revision, and a change may be made against
// the revision that the changer saw, and refused if another came first:
// the compare-and-set that leases are built on.
//
// Keys are any text; how the bucket spells them is its own affair. Values
// are bytes. It knows no CORBA.

#ifndef KESTREL_CHANNELD_CLUSTER_SHARED_RECORDS_H_
#define KESTREL_CHANNELD_CLUSTER_SHARED_RECORDS_H_

#include <cstdint>
#include <functional>
#include <string>

namespace kestrel {
namespace channeld {

class SharedRecords {
 public:
  enum class Result {
    kDone,
    kConflict,    // Create: the key holds a value; Update: its revision moved on
    kMissing,     // Get: no value at the key (never put, or deleted)
    kUnavailable  // the bucket cannot be reached, or did not answer in time
  };

  struct Entry {
    std::string key;
    std::string value;
    std::uint64_t revision = 0;
    bool deleted = false;
  };

  // Called on the bucket's own thread, one entry at a time, in the bucket's
  // order: first every key that holds a value, as it is, then an entry with
  // an empty key (caught up), then each change as any instance makes it,
  // this one's included. After a lost connection it starts over the same
  // way, so that a watcher holds the bucket's state whatever it missed.
  using Watcher = std::function<void(const Entry& entry)>;

  virtual ~SharedRecords() = default;

  // Puts value at key only when the key holds none.
  virtual Result Create(const std::string& key, const std::string& value,
                        std::uint64_t* revision) = 0;
  // Puts value at key only when the key's revision is still expected.
  virtual Result Update(const std::string& key, const std::string& value,
                        std::uint64_t expected, std::uint64_t* revision) = 0;
  virtual Result Put(const std::string& key, const std::string& value,
                     std::uint64_t* revision) = 0;
  // kDone also when the key held nothing.
  virtual Result Delete(const std::string& key) = 0;
  virtual Result Get(const std::string& key, Entry* entry) = 0;

  // Starts a watcher, on a thread of its own, until the records go. May be
  // called more than once.
  virtual void Watch(Watcher watcher) = 0;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_CLUSTER_SHARED_RECORDS_H_
