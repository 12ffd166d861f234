#include "tools/common/utf8_arguments.h"

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

namespace kestrel {
namespace tools {

namespace {

std::string ToUtf8(const wchar_t* text) {
  int size = ::WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return std::string();
  std::string converted(static_cast<size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, text, -1, &converted[0], size, nullptr, nullptr);
  converted.pop_back();  // the terminator that the count included
  return converted;
}

}  // namespace

char** Utf8Arguments(int argc, char** argv) {
  static std::vector<std::string> texts;
  static std::vector<char*> pointers;
  int count = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide == nullptr) return argv;
  // Both parse the same command line; should they ever disagree, the C
  // runtime's arguments at least match argc.
  if (count == argc) {
    for (int i = 0; i < count; ++i) texts.push_back(ToUtf8(wide[i]));
    for (std::string& text : texts) pointers.push_back(&text[0]);
    pointers.push_back(nullptr);
  }
  ::LocalFree(wide);
  return pointers.empty() ? argv : pointers.data();
}

}  // namespace tools
}  // namespace kestrel
