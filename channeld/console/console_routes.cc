#include "channeld/console/console_routes.h"

#include <memory>

#include "channeld/console/console_page.h"
#include "channeld/console/tail_filter.h"
#include "filter/event_view.h"

namespace kestrel {
namespace channeld {

namespace {

constexpr char kJson[] = "application/json";

// The page runs its own script and style and asks only its own origin; a
// notification's text, were it ever taken for markup, could load nothing.
const std::pair<std::string, std::string> kPolicy = {
    "Content-Security-Policy",
    "default-src 'none'; script-src 'unsafe-inline'; style-src 'unsafe-inline'; "
    "connect-src 'self'; img-src 'self' data:; base-uri 'none'; form-action 'none'; "
    "frame-ancestors 'none'"};
const std::pair<std::string, std::string> kNoSniffing = {"X-Content-Type-Options", "nosniff"};
const std::pair<std::string, std::string> kNoStore = {"Cache-Control", "no-store"};

ConsoleRoutes::Reply Json(int status, std::string body) {
  ConsoleRoutes::Reply reply;
  reply.status = status;
  reply.contentType = kJson;
  reply.headers = {kNoSniffing, kNoStore};
  reply.body = std::move(body);
  return reply;
}

// Sends one page its tail until the page goes or the tail closes, what
// came at once in one write.
void Stream(NotificationTail::Viewer* viewer, const TailFilter& filter,
            const ConsoleRoutes::Writer& write) {
  // A first line, so that the page knows at once that it watches.
  if (!write(": watching\n\n")) return;
  std::uint64_t told = 0;
  std::vector<std::shared_ptr<const PassedEvent>> passed;
  for (;;) {
    std::uint64_t dropped = 0;
    passed.clear();
    NotificationTail::Viewer::Next next =
        viewer->TakeAll(ConsoleRoutes::kKeepAlive, &passed, &dropped);
    if (next == NotificationTail::Viewer::Next::kClosed) return;
    // What was lost goes first, also when nothing came after it.
    std::string lines;
    if (dropped != told) {
      lines = "event: dropped\ndata: {\"dropped\":" + std::to_string(dropped) + "}\n\n";
      told = dropped;
    }
    for (const auto& event : passed) {
      filter::EventView view(event->event, TailFilter::kNames);
      if (filter.Selects(&view)) lines += "data: " + NotificationJson(*event, &view) + "\n\n";
    }
    if (next == NotificationTail::Viewer::Next::kIdle && lines.empty()) {
      lines = ": keep-alive\n\n";
    }
    if (!lines.empty() && !write(lines)) return;
    if (!passed.empty()) viewer->Linger(ConsoleRoutes::kLinger);
  }
}

}  // namespace

bool ConsoleRoutes::Serves(const std::string& path) {
  return path == "/" || path.compare(0, 9, "/console/") == 0;
}

ConsoleRoutes::Reply ConsoleRoutes::Answer(const std::string& path, const std::string& constraint) {
  if (path == "/") {
    Reply reply;
    reply.contentType = "text/html; charset=utf-8";
    reply.headers = {kPolicy, kNoSniffing, kNoStore};
    reply.body = std::string(ConsolePage());
    return reply;
  }
  if (path == "/console/state") {
    return Json(200, StateJson(figures_(), tail_->viewers(), tail_->maxViewers()));
  }
  if (path == "/console/filter") {
    TailFilter::Problem problem;
    bool ok = TailFilter::Compile(constraint, &problem) != nullptr;
    return Json(200, FilterAnswerJson(ok ? nullptr : &problem));
  }
  if (path == "/console/tail") return Tail(constraint);
  Reply reply;
  reply.status = 404;
  reply.contentType = "text/plain; charset=utf-8";
  reply.body = "not found: /, /console/state, /console/filter or /console/tail\n";
  return reply;
}

ConsoleRoutes::Reply ConsoleRoutes::Tail(const std::string& constraint) {
  TailFilter::Problem problem;
  std::shared_ptr<TailFilter> filter = TailFilter::Compile(constraint, &problem);
  if (!filter) return Json(400, FilterAnswerJson(&problem));
  std::shared_ptr<NotificationTail::Viewer> viewer = tail_->Watch();
  Reply reply;
  if (!viewer) {
    reply.status = 503;
    reply.contentType = "text/plain; charset=utf-8";
    reply.body = "too many viewers: at most " + std::to_string(tail_->maxViewers()) +
                 " watch at once\n";
    return reply;
  }
  reply.contentType = "text/event-stream";
  reply.headers = {kNoStore};
  reply.stream = [viewer, filter](const Writer& write) { Stream(viewer.get(), *filter, write); };
  return reply;
}

}  // namespace channeld
}  // namespace kestrel
