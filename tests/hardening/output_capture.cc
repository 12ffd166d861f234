#include "tests/hardening/output_capture.h"

#include <dlfcn.h>
#include <link.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <vector>

namespace kestrel {
namespace testing {

namespace {

using DeathCallback = void (*)();
using SetDeathCallback = void (*)(DeathCallback);

// The capture under way; sanitizers may end the process while it runs.
std::atomic<OutputCapture*> active{nullptr};

// A sanitizer that finds a fault writes its report to stderr, that is into
// the capture, and ends the process: the report is copied out first so
// that it stays visible.
void ShowCaptureOnDeath() {
  if (OutputCapture* capture = active.load()) capture->CopyTo(capture->originalError());
}

// Each sanitizer runtime loaded keeps a death callback of its own (GCC's
// ASan and UBSan are two shared libraries); one linked into the program
// itself (clang's) is found by name.
void SetSanitizerDeathCallback(DeathCallback callback) {
  std::vector<SetDeathCallback> setters;
  ::dl_iterate_phdr(
      [](dl_phdr_info* info, size_t, void* found) {
        if (std::strstr(info->dlpi_name, "san.so") == nullptr) return 0;
        void* runtime = ::dlopen(info->dlpi_name, RTLD_LAZY | RTLD_NOLOAD);
        if (runtime == nullptr) return 0;
        if (void* setter = ::dlsym(runtime, "__sanitizer_set_death_callback")) {
          static_cast<std::vector<SetDeathCallback>*>(found)->push_back(
              reinterpret_cast<SetDeathCallback>(setter));
        }
        ::dlclose(runtime);
        return 0;
      },
      &setters);
  if (void* setter = ::dlsym(RTLD_DEFAULT, "__sanitizer_set_death_callback")) {
    setters.push_back(reinterpret_cast<SetDeathCallback>(setter));
  }
  for (SetDeathCallback set : setters) set(callback);
}

}  // namespace

OutputCapture::OutputCapture() {
  std::string pattern = std::filesystem::temp_directory_path().string() + "/kestrel-output-XXXXXX";
  file_ = ::mkstemp(&pattern[0]);
  if (file_ < 0) throw std::runtime_error("mkstemp failed");
  ::unlink(pattern.c_str());
  std::fflush(stdout);
  std::fflush(stderr);
  savedOutput_ = ::dup(STDOUT_FILENO);
  savedError_ = ::dup(STDERR_FILENO);
  if (savedOutput_ < 0 || savedError_ < 0 || ::dup2(file_, STDOUT_FILENO) < 0 ||
      ::dup2(file_, STDERR_FILENO) < 0) {
    Finish();
    throw std::runtime_error("cannot redirect stdout and stderr");
  }
  active = this;
  SetSanitizerDeathCallback(&ShowCaptureOnDeath);
}

OutputCapture::~OutputCapture() { Finish(); }

std::string OutputCapture::Finish() {
  if (file_ < 0) return std::string();
  std::fflush(stdout);
  std::fflush(stderr);
  SetSanitizerDeathCallback(nullptr);
  active = nullptr;
  if (savedOutput_ >= 0) {
    ::dup2(savedOutput_, STDOUT_FILENO);
    ::close(savedOutput_);
  }
  if (savedError_ >= 0) {
    ::dup2(savedError_, STDERR_FILENO);
    ::close(savedError_);
  }
  savedOutput_ = savedError_ = -1;

  std::string written = Read();
  ::close(file_);
  file_ = -1;
  return written;
}

std::string OutputCapture::Read() const {
  std::string written;
  char buffer[4096];
  ssize_t got;
  off_t offset = 0;
  while ((got = ::pread(file_, buffer, sizeof buffer, offset)) > 0) {
    written.append(buffer, static_cast<size_t>(got));
    offset += got;
  }
  return written;
}

void OutputCapture::CopyTo(int fd) const {
  char buffer[4096];
  ssize_t got;
  off_t offset = 0;
  while ((got = ::pread(file_, buffer, sizeof buffer, offset)) > 0) {
    if (::write(fd, buffer, static_cast<size_t>(got)) != got) return;
    offset += got;
  }
}

}  // namespace testing
}  // namespace kestrel
