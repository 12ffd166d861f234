#include "channeld/console/tail_filter.h"

#include <utility>

namespace kestrel {
namespace channeld {

namespace {

// UTF-16 code units in the first bytes of text (UTF-8): a lead byte of four
// starts a pair of surrogates, a continuation byte starts nothing. Bytes
// that are no UTF-8 count one each, as a browser's replacement does.
std::size_t Utf16Units(const std::string& text, std::size_t bytes) {
  std::size_t units = 0;
  for (std::size_t i = 0; i < bytes && i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if ((c & 0xC0) == 0x80) continue;
    units += (c >= 0xF0 && c <= 0xF4) ? 2 : 1;
  }
  return units;
}

}  // namespace

std::unique_ptr<TailFilter> TailFilter::Compile(const std::string& text, Problem* problem) {
  std::unique_ptr<filter::Constraint> constraint;
  filter::ParseResult result = filter::Constraint::Compile(text, &constraint);
  if (!result.ok) {
    problem->message = result.error;
    problem->position = Utf16Units(text, result.position);
    return nullptr;
  }
  return std::unique_ptr<TailFilter>(new TailFilter(std::move(constraint)));
}

bool TailFilter::Selects(filter::EventView* view) const { return constraint_->Matches(view); }

}  // namespace channeld
}  // namespace kestrel
