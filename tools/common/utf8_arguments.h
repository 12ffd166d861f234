// A program's command line as UTF-8, which is what the library and the
// channel carry. Linux hands a program its arguments as they were typed;
// the Windows C runtime converts them to the ANSI code page, which turns
// what it cannot represent into '?', so there they are taken from the wide
// command line instead.

#ifndef KESTREL_TOOLS_COMMON_UTF8_ARGUMENTS_H_
#define KESTREL_TOOLS_COMMON_UTF8_ARGUMENTS_H_

namespace kestrel {
namespace tools {

// Answers the arguments, as argv of main does, in UTF-8; the array lives as
// long as the program. Falls back to argv when the system cannot tell.
char** Utf8Arguments(int argc, char** argv);

}  // namespace tools
}  // namespace kestrel

#endif  // KESTREL_TOOLS_COMMON_UTF8_ARGUMENTS_H_
