// What compiling a constraint answers: success, or why not and where.

#ifndef KESTREL_FILTER_PARSE_RESULT_H_
#define KESTREL_FILTER_PARSE_RESULT_H_

#include <cstddef>
#include <string>

namespace kestrel {
namespace filter {

struct ParseResult {
  bool ok = true;
  std::string error;      // empty when ok
  std::size_t position = 0;  // 0-based offset of the character at fault

  static ParseResult Success() { return ParseResult(); }
  static ParseResult Failure(std::string error, std::size_t position) {
    ParseResult result;
    result.ok = false;
    result.error = std::move(error);
    result.position = position;
    return result;
  }
};

}  // namespace filter
}  // namespace kestrel

#endif  // KESTREL_FILTER_PARSE_RESULT_H_
