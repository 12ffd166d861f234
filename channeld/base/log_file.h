// The log file of kestrel-channeld as a Windows service: appended to, with
// each line whole, and managed as administrators manage logs. It may be
// renamed or deleted while the service runs (the next line goes to a new
// file of the same name), and it rotates itself at a size, as logrotate
// would: path becomes path.1, path.1 becomes path.2, and so on, the oldest
// beyond the kept number going away.

#ifndef KESTREL_CHANNELD_BASE_LOG_FILE_H_
#define KESTREL_CHANNELD_BASE_LOG_FILE_H_

#include <ace/os_include/os_fcntl.h>

#include <cstdint>
#include <mutex>
#include <string>

namespace kestrel {
namespace channeld {

class LogFile {
 public:
  static constexpr std::uint64_t kDefaultMaxBytes = 10 * 1024 * 1024;
  static constexpr int kDefaultKept = 5;

  // Nothing is opened until the first Append. REQUIRES: kept >= 1.
  explicit LogFile(std::string path, std::uint64_t maxBytes = kDefaultMaxBytes,
                   int kept = kDefaultKept);
  ~LogFile();

  LogFile(const LogFile&) = delete;
  LogFile& operator=(const LogFile&) = delete;

  // Writes text at the end of the file that path names now, opening it
  // anew when it was moved away, and rotates first when text would take
  // the file beyond maxBytes (a file never rotates empty, so one text
  // longer than that still lands whole). False when the text could not be
  // written; the next Append tries again. Safe from any thread.
  bool Append(const std::string& text);

  const std::string& path() const { return path_; }

 private:
  bool OpenLocked();
  void CloseLocked();
  void RotateLocked();

  const std::string path_;
  const std::uint64_t maxBytes_;
  const int kept_;
  std::mutex mutex_;
  ACE_HANDLE handle_;  // guarded by mutex_
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_BASE_LOG_FILE_H_
