// The names that a channel has in NATS. A channel's key may hold characters
// that stream, subject and consumer names may not ('.', '*', '>', '/',
// spaces...): they are written as '_' and two hex digits, and '_' itself
// too, so that every key has one name and each name gives back its key.

#ifndef KESTREL_CHANNELD_CLUSTER_STREAM_NAMES_H_
#define KESTREL_CHANNELD_CLUSTER_STREAM_NAMES_H_

#include <string>

namespace kestrel {
namespace channeld {

class StreamNames {
 public:
  // The prefix of every channel's stream; other streams are not channels.
  static constexpr const char* kStreamPrefix = "kestrel-";

  static std::string Stream(const std::string& channel);
  static std::string Subject(const std::string& channel);
  // The channel whose stream this is; false for a stream that is not one.
  static bool ChannelOf(const std::string& stream, std::string* channel);

  static std::string Escape(const std::string& text);
  static bool Unescape(const std::string& text, std::string* out);
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_CLUSTER_STREAM_NAMES_H_
