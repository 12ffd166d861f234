// One answer of the service's HTTP endpoint, as whoever makes it (the
// metrics endpoint, the console) hands it to the server that sends it.

#ifndef KESTREL_CHANNELD_BASE_HTTP_REPLY_H_
#define KESTREL_CHANNELD_BASE_HTTP_REPLY_H_

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kestrel {
namespace channeld {

struct HttpReply {
  // Sends data; false once the peer is gone or reads too slowly.
  using Writer = std::function<bool(std::string_view data)>;

  int status = 200;
  std::string contentType = "text/plain; charset=utf-8";
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  // When set, the body is what this writes, for as long as it runs.
  std::function<void(const Writer&)> stream;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_BASE_HTTP_REPLY_H_
