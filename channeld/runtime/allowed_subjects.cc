#include "channeld/runtime/allowed_subjects.h"

#include <ace/ACE.h>
#include <omniORB4/CORBA.h>
#include <omniORB4/omniInterceptors.h>

#include <atomic>
#include <mutex>

#include "channeld/runtime/refused_peers.h"
#include "orb/tls_context.h"

namespace kestrel {
namespace channeld {

namespace {

std::vector<std::string> allowedPatterns;  // set once, before serving
std::atomic<std::uint64_t> refusedTotal{0};
std::uint64_t reportedTotal = 0;  // the reporter's thread only
std::mutex latestMutex;
std::string latestRefusal;  // guarded by latestMutex

CORBA::Boolean CheckSubject(omni::omniInterceptors::serverReceiveRequest_T::info_T& info) {
  // The verified certificate (omniORB hands out none that failed), or null.
  X509* certificate = static_cast<X509*>(info.peerdetails());
  std::string subject = CertificateSubject(certificate);
  if (certificate != nullptr && AllowedSubjects::Matches(allowedPatterns, subject)) return true;
  std::string refusal = (certificate == nullptr ? "without a certificate"
                                                : "with the certificate subject \"" + subject + "\"");
  refusal = "request from " + RefusedPeers::PeerAddress(info.peeraddress()) + " " + refusal;
  {
    std::lock_guard<std::mutex> lock(latestMutex);
    latestRefusal.swap(refusal);
  }
  ++refusedTotal;
  throw CORBA::NO_PERMISSION(0, CORBA::COMPLETED_NO);
}

}  // namespace

void AllowedSubjects::Install(const std::vector<std::string>& patterns) {
  if (patterns.empty()) return;
  allowedPatterns = patterns;
  omniORB::getInterceptors()->serverReceiveRequest.add(CheckSubject);
}

bool AllowedSubjects::Matches(const std::vector<std::string>& patterns,
                              const std::string& subject) {
  for (const std::string& pattern : patterns) {
    if (ACE::wild_match(subject.c_str(), pattern.c_str(), true)) return true;
  }
  return false;
}

std::uint64_t AllowedSubjects::refused() { return refusedTotal; }

std::string AllowedSubjects::TakeReport() {
  std::uint64_t total = refusedTotal;
  std::uint64_t refused = total - reportedTotal;
  if (refused == 0) return std::string();
  reportedTotal = total;
  std::string line;
  {
    std::lock_guard<std::mutex> lock(latestMutex);
    line = latestRefusal;
  }
  line += " refused: --allow-subject does not name it";
  if (refused > 1) line += " (" + std::to_string(refused) + " refused in the last second)";
  return line;
}

}  // namespace channeld
}  // namespace kestrel
