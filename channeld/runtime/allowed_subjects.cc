#include "channeld/runtime/allowed_subjects.h"

#include <ace/ACE.h>
#include <omniORB4/CORBA.h>
#include <omniORB4/omniInterceptors.h>

#include "channeld/runtime/refusal_tally.h"
#include "channeld/runtime/refused_peers.h"
#include "orb/tls_context.h"

namespace kestrel {
namespace channeld {

namespace {

std::vector<std::string> allowedPatterns;  // set once, before serving
RefusalTally tally;

CORBA::Boolean CheckSubject(omni::omniInterceptors::serverReceiveRequest_T::info_T& info) {
  // The verified certificate (omniORB hands out none that failed), or null.
  X509* certificate = static_cast<X509*>(info.peerdetails());
  std::string subject = CertificateSubject(certificate);
  if (certificate != nullptr && AllowedSubjects::Matches(allowedPatterns, subject)) return true;
  tally.Note("request from " + RefusedPeers::PeerAddress(info.peeraddress()) + " " +
             (certificate == nullptr ? "without a certificate"
                                     : "with the certificate subject \"" + subject + "\""));
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

std::uint64_t AllowedSubjects::refused() { return tally.total(); }

std::string AllowedSubjects::TakeReport() {
  return tally.TakeReport("--allow-subject does not name it");
}

}  // namespace channeld
}  // namespace kestrel
