// The state directory's one owner. Two services on one directory would
// each replace what the other saved, and a consumer's proxy, with the events
// owed to it, would vanish between their restarts; so a service holds an
// exclusive lock on the file "lock" in the directory for its whole life.
// The lock is the system's (fcntl on Linux, LockFileEx on Windows, through
// ACE): a process that ends, however it ends, holds it no more. The file
// holds the owner's process id, for the message of the one turned away.

#ifndef KESTREL_CHANNELD_STATE_STATE_LOCK_H_
#define KESTREL_CHANNELD_STATE_STATE_LOCK_H_

#include <ace/File_Lock.h>

#include <memory>
#include <string>

namespace kestrel {
namespace channeld {

class StateLock {
 public:
  enum class Result {
    kOwned,        // this process owns the directory now
    kHeld,         // another process does; the directory is left as it was
    kUnavailable,  // the lock file cannot be made (a directory that cannot
                   // be written): nothing is locked
  };

  explicit StateLock(std::string directory);
  ~StateLock();  // releases the lock
  StateLock(const StateLock&) = delete;
  StateLock& operator=(const StateLock&) = delete;

  // Takes the lock without waiting, making the directory if need be. For
  // kHeld and kUnavailable, error says why in one line, naming the
  // directory and, where it can be read, the owner's process id.
  Result Take(std::string* error);

 private:
  std::string OwnerText() const;

  const std::string directory_;
  const std::string path_;
  std::unique_ptr<ACE_File_Lock> lock_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_STATE_STATE_LOCK_H_
