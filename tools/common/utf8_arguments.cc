#include "tools/common/utf8_arguments.h"

namespace kestrel {
namespace tools {

char** Utf8Arguments(int /*argc*/, char** argv) { return argv; }

}  // namespace tools
}  // namespace kestrel
