#include "channeld/base/log_file.h"

#include <ace/OS_NS_stdio.h>
#include <ace/OS_NS_sys_stat.h>
#include <ace/OS_NS_unistd.h>

#include <utility>

#include "channeld/base/system.h"

namespace kestrel {
namespace channeld {

LogFile::LogFile(std::string path, std::uint64_t maxBytes, int kept)
    : path_(std::move(path)), maxBytes_(maxBytes), kept_(kept), handle_(ACE_INVALID_HANDLE) {}

LogFile::~LogFile() {
  std::lock_guard<std::mutex> lock(mutex_);
  CloseLocked();
}

bool LogFile::Append(const std::string& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  // Asked before every write rather than now and then: a line written just
  // after a rename would otherwise go to the renamed file, and lines are
  // few (diagnostics, not events).
  if (handle_ != ACE_INVALID_HANDLE && !NamesOpenFile(handle_, path_)) CloseLocked();
  if (handle_ == ACE_INVALID_HANDLE && !OpenLocked()) return false;
  ACE_OFF_T size = ACE_OS::filesize(handle_);
  if (size > 0 && static_cast<std::uint64_t>(size) + text.size() > maxBytes_) {
    RotateLocked();
    if (!OpenLocked()) return false;
  }
  return ACE_OS::write(handle_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

bool LogFile::OpenLocked() {
  handle_ = OpenSharedForAppend(path_);
  return handle_ != ACE_INVALID_HANDLE;
}

void LogFile::CloseLocked() {
  if (handle_ == ACE_INVALID_HANDLE) return;
  ACE_OS::close(handle_);
  handle_ = ACE_INVALID_HANDLE;
}

// Closed first: Windows renames a file that is open only when every handle
// to it allows that, which one that another program opened need not.
void LogFile::RotateLocked() {
  CloseLocked();
  auto numbered = [this](int n) { return path_ + "." + std::to_string(n); };
  ACE_OS::unlink(numbered(kept_).c_str());
  for (int n = kept_ - 1; n >= 1; --n) ACE_OS::rename(numbered(n).c_str(), numbered(n + 1).c_str());
  ACE_OS::rename(path_.c_str(), numbered(1).c_str());
}

}  // namespace channeld
}  // namespace kestrel
