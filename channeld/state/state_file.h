// The files of the state directory. Each whole file is one record:
//
//   "KESTRELD"  format version (u32)  kind (u32)  payload size (u64)
//   CRC-32 of the payload (u32)  zero (u32)  payload
//
// in the byte order of the machine that wrote it, so that a file of another
// version, kind or machine, or a truncated or damaged one, is recognised as
// such and never decoded. A file is replaced by writing a new one beside it,
// syncing it and renaming it over the old one: a crash or a full disk
// leaves either the old file or the new one, never a mixture.

#ifndef KESTREL_CHANNELD_STATE_STATE_FILE_H_
#define KESTREL_CHANNELD_STATE_STATE_FILE_H_

#include <cstddef>
#include <cstdint>
#include <ace/os_include/os_fcntl.h>

#include <string>

namespace kestrel {
namespace channeld {

class StateFile {
 public:
  static constexpr std::uint32_t kFormatVersion = 1;
  enum Kind : std::uint32_t { kTopology = 1, kQueued = 2, kEventLog = 3 };

  enum class Read { kOk, kMissing, kUnreadable, kDamaged, kForeign };

  explicit StateFile(std::string path) : path_(std::move(path)) {}

  // Replaces the file with payload; false with error set when it could not
  // (the previous file is then as it was).
  bool Write(Kind kind, const std::string& payload, std::string* error) const;

  // The payload, or why there is none: kForeign for a file of another
  // program, version or kind; kDamaged for a truncated or corrupt one.
  Read Load(Kind kind, std::string* payload, std::string* error) const;

  // Renames a file that could not be used to PATH.damaged-SECONDS, so that
  // nothing is deleted that an administrator may want to look at. Answers
  // the new name, or empty when the rename failed.
  std::string MoveAside() const;

  bool Remove() const;
  const std::string& path() const { return path_; }

  // The header of a payload of kind, and the CRC-32 that it holds.
  static std::string Header(Kind kind, const std::string& payload);
  static std::uint32_t Checksum(const std::string& bytes);

 private:
  std::string path_;
};

// Writes all of bytes to handle, going on after interruptions; false with
// errno set when a write fails.
bool WriteAll(ACE_HANDLE handle, const char* bytes, std::size_t size);
// The whole file at path; false with errno set when it cannot be read.
bool ReadWhole(const std::string& path, std::string* bytes);
// Makes the directory at path (mode 0700) and those above it that are
// missing; false with errno set when it cannot.
bool MakeDirectories(const std::string& path);

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_STATE_STATE_FILE_H_
