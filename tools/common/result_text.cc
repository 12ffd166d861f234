// What the tools print and parse the same way on every system: result codes
// and numbers.

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/common/component_loader.h"

namespace kestrel {
namespace tools {

std::string DescribeResult(HRESULT hr) {
  char text[96];
  const char* name = KestrelResultName(hr);
  std::snprintf(text, sizeof text, "0x%08X %s", static_cast<unsigned>(hr), name != nullptr ? name : "");
  std::string described(text);
  while (!described.empty() && described.back() == ' ') described.pop_back();
  return described;
}

bool ParseNumber(const char* text, uint32_t* value) {
  if (text == nullptr || *text == '\0' || !std::isdigit(static_cast<unsigned char>(*text))) {
    return false;
  }
  bool hex = text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const char* digits = hex ? text + 2 : text;
  if (*digits == '\0') return false;
  for (const char* c = digits; *c != '\0'; ++c) {
    if (hex ? !std::isxdigit(static_cast<unsigned char>(*c)) : !std::isdigit(static_cast<unsigned char>(*c))) {
      return false;
    }
  }
  errno = 0;
  char* end = nullptr;
  unsigned long long parsed = std::strtoull(digits, &end, hex ? 16 : 10);
  if (errno != 0 || *end != '\0' || parsed > 0xFFFFFFFFull) return false;
  *value = static_cast<uint32_t>(parsed);
  return true;
}

}  // namespace tools
}  // namespace kestrel
