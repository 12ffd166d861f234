// Diagnostics on stderr. stdout belongs to the address lines alone.

#ifndef KESTREL_TOOLS_CHANNELD_LOG_H_
#define KESTREL_TOOLS_CHANNELD_LOG_H_

#include <string>

namespace kestrel {
namespace channeld {

class Log {
 public:
  // Off by default; --verbose turns it on.
  static void SetVerbose(bool verbose);
  static bool verbose();

  // A line on stderr when verbose.
  static void Info(const std::string& message);
  // A line on stderr, always.
  static void Error(const std::string& message);
  // Lines (each ending in a newline) on stderr, always, in one write, each
  // with the program's prefix.
  static void Lines(const std::string& lines);
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_TOOLS_CHANNELD_LOG_H_
