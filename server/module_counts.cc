#include "server/module_counts.h"

namespace kestrel {

ModuleCounts& moduleCounts() {
  static ModuleCounts counts;
  return counts;
}

}  // namespace kestrel
