// Everything that the process writes on its standard output and standard
// error while the object lives goes to a temporary file instead; Finish()
// puts both back and answers what was written. The library must print
// nothing, and this is how a test finds out that it did: whatever writes to
// the two descriptors (stdio, iostreams, omniORB's or ACE's logging, a
// plain write(2)) is caught, on any thread.
//
// The test's own output is caught as well while capturing, so a failed
// assertion inside the captured stretch shows up in what Finish answers.
// In a sanitizer build, a fault that ends the process while capturing has
// its report copied to the real stderr first. One capture at a time.
//
//   OutputCapture capture;
//   ... calls into the library ...
//   EXPECT_EQ("", capture.Finish());

#ifndef KESTREL_TESTS_HARDENING_OUTPUT_CAPTURE_H_
#define KESTREL_TESTS_HARDENING_OUTPUT_CAPTURE_H_

#include <string>

namespace kestrel {
namespace testing {

class OutputCapture {
 public:
  // Raises std::runtime_error when the descriptors cannot be redirected.
  OutputCapture();
  // Finishes when Finish() was not called.
  ~OutputCapture();
  OutputCapture(const OutputCapture&) = delete;
  OutputCapture& operator=(const OutputCapture&) = delete;

  // Restores stdout and stderr and answers what was written to them; an
  // empty string on every later call.
  std::string Finish();

  // For a process that a sanitizer ends while capturing: writes what was
  // captured so far to fd. Only plain system calls, no allocation.
  void CopyTo(int fd) const;
  // The stderr that the capture replaced; -1 once finished.
  int originalError() const { return savedError_; }

 private:
  std::string Read() const;

  int savedOutput_ = -1;
  int savedError_ = -1;
  int file_ = -1;
};

}  // namespace testing
}  // namespace kestrel

#endif  // KESTREL_TESTS_HARDENING_OUTPUT_CAPTURE_H_
