// The console's page: its HTML, CSS and script in one text compiled into
// the program, so that the page works offline and nothing it shows comes
// from anywhere but this service.

#ifndef KESTREL_CHANNELD_CONSOLE_CONSOLE_PAGE_H_
#define KESTREL_CHANNELD_CONSOLE_CONSOLE_PAGE_H_

#include <string_view>

namespace kestrel {
namespace channeld {

// The console's page: one HTML document with its style and script.
std::string_view ConsolePage();

}  // namespace channeld
}  // namespace kestrel

#endif  // KESTREL_CHANNELD_CONSOLE_CONSOLE_PAGE_H_
