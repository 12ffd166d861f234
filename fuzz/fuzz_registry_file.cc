// The registry file is edited by hand and by other programs, so its text is
// untrusted. Any text must parse or be refused without a crash or a leak,
// and whatever parses must come back unchanged through a second round:
// writers rewrite the file from the parsed tree, and a second rewrite must
// not lose or change what the first one kept.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/registry_file.h"
#include "platform/registry_tree.h"

namespace {

[[noreturn]] void Fail(const char* what, const std::string& first, const std::string& second) {
  std::fprintf(stderr, "%s\n--- first serialisation ---\n%s\n--- second ---\n%s\n", what,
               first.c_str(), second.c_str());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  kestrel::RegistryTree tree;
  if (!kestrel::ParseRegistryText(text, &tree)) return 0;
  const std::string first = kestrel::SerializeRegistry(tree);

  kestrel::RegistryTree reread;
  if (!kestrel::ParseRegistryText(first, &reread)) {
    Fail("a serialised registry does not parse", first, std::string());
  }
  const std::string second = kestrel::SerializeRegistry(reread);
  if (second != first) Fail("a serialised registry changes when parsed again", first, second);
  return 0;
}
