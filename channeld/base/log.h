// Diagnostics on stderr. stdout belongs to the address lines alone. A
// Windows service, which has neither, writes both to its log file.

#ifndef KESTREL_CHANNELD_BASE_LOG_H_
#define KESTREL_CHANNELD_BASE_LOG_H_

#include <string>

namespace kestrel {
namespace channeld {

class LogFile;

class Log {
 public:
  // Off by default; --verbose turns it on.
  static void SetVerbose(bool verbose);
  static bool verbose();
  // From now on the diagnostics and the address lines go to file, each line
  // starting with the local date and time, as a log file wants them.
  // REQUIRES: called before any line is written; file outlives the writes.
  static void WriteTo(LogFile* file);

  // A line on stderr when verbose.
  static void Info(const std::string& message);
  // A line on stderr, always.
  static void Error(const std::string& message);
  // Lines (each ending in a newline) on stderr, always, in one write, each
  // with the program's prefix.
  static void Lines(const std::string& lines);
  // The address lines (each ending in a newline) on stdout, as they are.
  static void Addresses(const std::string& lines);
  // Text that another part wrote (omniORB's traces), as it is, where the
  // diagnostics go.
  static void Raw(const char* text);
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_BASE_LOG_H_
