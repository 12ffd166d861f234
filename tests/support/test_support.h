// Helpers shared by the tests: temporary folders and registry files,
// environment variables set for the length of a test.

#ifndef KESTREL_TESTS_SUPPORT_TEST_SUPPORT_H_
#define KESTREL_TESTS_SUPPORT_TEST_SUPPORT_H_

#include <string>

namespace kestrel {
namespace testing {

// A fresh folder under the system's temporary folder, removed with
// everything in it when the object goes.
class TemporaryFolder {
 public:
  TemporaryFolder();
  ~TemporaryFolder();
  TemporaryFolder(const TemporaryFolder&) = delete;
  TemporaryFolder& operator=(const TemporaryFolder&) = delete;

  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Sets an environment variable; puts back what was there when it goes.
class ScopedEnvironment {
 public:
  ScopedEnvironment(const char* name, const std::string& value);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::string name_;
  std::string previous_;
  bool hadPrevious_;
};

// A registry file of its own for one test: KESTREL_REGISTRY points at a file
// in a temporary folder while the object lives.
class ScopedRegistry {
 public:
  ScopedRegistry();
  const std::string& path() const { return path_; }

 private:
  TemporaryFolder folder_;
  std::string path_;
  ScopedEnvironment environment_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);
bool FileExists(const std::string& path);

}  // namespace testing
}  // namespace kestrel

#endif  // KESTREL_TESTS_SUPPORT_TEST_SUPPORT_H_
