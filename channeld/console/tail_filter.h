// The constraint that one page watches the tail through: the language of
// CosNotification filters (and of kestrel-listen --filter), where a name
// that is neither a property nor a header field is also looked for among
// the record's members ($mSeverity for $.remainder_of_body.mSeverity).
// Applied before anything is sent, so that a browser receives only what
// it selects.

#ifndef KESTREL_CHANNELD_CONSOLE_TAIL_FILTER_H_
#define KESTREL_CHANNELD_CONSOLE_TAIL_FILTER_H_

#include <cstddef>
#include <memory>
#include <string>

#include "filter/constraint.h"
#include "filter/event_view.h"

namespace kestrel {
namespace channeld {

class TailFilter {
 public:
  // Why a constraint was refused, as the page shows it.
  struct Problem {
    std::string message;
    // Where: the offset of the character at fault in UTF-16 code units,
    // as a browser counts a string's characters.
    std::size_t position = 0;
  };

  // The filter of text (empty: every event); null, with *problem set, when
  // text is no constraint.
  static std::unique_ptr<TailFilter> Compile(const std::string& text, Problem* problem);

  // A view of an event in which this filter's names resolve.
  static constexpr filter::EventView::Names kNames = filter::EventView::Names::kBodyMembers;

  // REQUIRES: view made with kNames.
  bool Selects(filter::EventView* view) const;

 private:
  explicit TailFilter(std::unique_ptr<filter::Constraint> constraint)
      : constraint_(std::move(constraint)) {}

  std::unique_ptr<filter::Constraint> constraint_;
};

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_CONSOLE_TAIL_FILTER_H_
