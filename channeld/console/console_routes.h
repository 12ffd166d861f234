// The console's paths on the metrics endpoint (this room's README lists
// what each answers). The endpoint asks Serves first, checks the peer and
// the method, then hands the request here; a tail's reply streams until
// the page goes or Close.

#ifndef KESTREL_CHANNELD_CONSOLE_CONSOLE_ROUTES_H_
#define KESTREL_CHANNELD_CONSOLE_CONSOLE_ROUTES_H_

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "channeld/base/http_reply.h"
#include "channeld/console/console_json.h"
#include "channeld/console/notification_tail.h"

namespace kestrel {
namespace channeld {

class ConsoleRoutes {
 public:
  using Reply = HttpReply;
  using Writer = HttpReply::Writer;  // false once the page is gone
  using Figures = std::function<ConsoleFigures()>;

  // How often an idle tail tells the page it is there, so that a page
  // that went away is noticed, and its place among the viewers freed.
  static constexpr std::chrono::seconds kKeepAlive{2};
  // Between two writes of lines: a page shows at most its queue's bound
  // (NotificationTail) this often, which is more than anyone reads, and a
  // busy channel wakes a page ten times a second, not once per event.
  static constexpr std::chrono::milliseconds kLinger{100};

  // figures: called on the endpoint's threads for /console/state.
  ConsoleRoutes(NotificationTail* tail, Figures figures)
      : tail_(tail), figures_(std::move(figures)) {}

  static bool Serves(const std::string& path);

  // path, asked with the query's constraint (empty when none).
  Reply Answer(const std::string& path, const std::string& constraint);

  // Tails that may stream at once.
  std::size_t maxStreams() const { return tail_->maxViewers(); }

  // Ends every tail's reply, and refuses new ones. Idempotent.
  void Close() { tail_->Close(); }

 private:
  Reply Tail(const std::string& constraint);

  NotificationTail* const tail_;
  const Figures figures_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_CONSOLE_CONSOLE_ROUTES_H_
