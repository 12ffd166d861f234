#include "channeld/state/state_lock.h"

#include <ace/OS_NS_fcntl.h>
#include <ace/OS_NS_unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "channeld/base/system.h"
#include "channeld/state/state_file.h"

namespace kestrel {
namespace channeld {

namespace {

// The byte locked: far past the process id at the start of the file, so
// that on Windows, where a locked range cannot be read, the one turned away
// can still read who holds it.
constexpr ACE_OFF_T kLockedByte = ACE_OFF_T(1) << 30;

}  // namespace

StateLock::StateLock(std::string directory)
    : directory_(std::move(directory)), path_(directory_ + "/lock") {}

StateLock::~StateLock() = default;

StateLock::Result StateLock::Take(std::string* error) {
  if (!MakeDirectories(directory_)) {
    *error = "state directory " + directory_ + ": " + std::strerror(errno);
    return Result::kUnavailable;
  }
  ACE_HANDLE file =
      ACE_OS::open(path_.c_str(), O_RDWR | O_CREAT | kPrivateHandle, kSharedOpenMode);
  if (file == ACE_INVALID_HANDLE) {
    *error = "state directory " + directory_ + ": cannot write there: " + std::strerror(errno);
    return Result::kUnavailable;
  }
  // Closing the handle releases the lock: only the lock object closes it.
  std::unique_ptr<ACE_File_Lock> lock(new ACE_File_Lock(file, /*unlink_in_destructor=*/false));
  if (lock->tryacquire_write(SEEK_SET, kLockedByte, 1) != 0) {
    *error = "state directory " + directory_ + " is in use by " + OwnerText() +
             ": one service at a time may keep its state there";
    return Result::kHeld;
  }
  char owner[32];
  int length = std::snprintf(owner, sizeof owner, "%ld\n", static_cast<long>(ACE_OS::getpid()));
  // The id is for people; the lock holds whether or not it is written.
  if (ACE_OS::ftruncate(file, 0) == 0) {
    ACE_OS::lseek(file, 0, SEEK_SET);
    WriteAll(file, owner, static_cast<std::size_t>(length));
  }
  lock_ = std::move(lock);
  return Result::kOwned;
}

std::string StateLock::OwnerText() const {
  std::string text;
  long pid = 0;
  char extra = 0;
  if (ReadWhole(path_, &text) && std::sscanf(text.c_str(), "%ld%c", &pid, &extra) >= 1 &&
      pid > 0) {
    return "process " + std::to_string(pid);
  }
  return "another process";
}

}  // namespace channeld
}  // namespace kestrel
