// Certificates for the TLS tests: two throwaway authorities, the site's and
// a stranger's, and certificates of each, made with the openssl program in
// a folder of their own that goes with the object.
//
//   site:  service, publisher, listener, stranger, expired (a day ago)
//   other: foreign
//   both.pem trusts both authorities.

#ifndef KESTREL_TESTS_TOOLS_TEST_AUTHORITIES_H_
#define KESTREL_TESTS_TOOLS_TEST_AUTHORITIES_H_

#include <stdlib.h>

#include <cstdlib>
#include <string>

namespace kestrel {
namespace testing {

// Runs a shell command quietly; true when it exits 0.
inline bool Shell(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

class Authorities {
 public:
  Authorities() {
    char folder[] = "/tmp/kestrel-tls-XXXXXX";
    dir_ = ::mkdtemp(folder) != nullptr ? folder : "";
  }
  ~Authorities() {
    if (!dir_.empty()) Shell("rm -rf '" + dir_ + "'");
  }

  bool Make() {
    return !dir_.empty() && MakeAuthority("site") && MakeAuthority("other") &&
           Issue("site", "service") && Issue("site", "publisher") && Issue("site", "listener") &&
           Issue("site", "stranger") && Issue("other", "foreign") &&
           Issue("site", "expired", "-1") &&
           // Trusts both, so that the foreign certificate passes the client's
           // own check and it is the service that must refuse it.
           Shell("cat '" + Ca("site") + "' '" + Ca("other") + "' > '" + Path("both.pem") + "'");
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }
  std::string Ca(const std::string& authority) const { return Path(authority + "-ca.pem"); }
  std::string Cert(const std::string& name) const { return Path(name + ".pem"); }
  std::string Key(const std::string& name) const { return Path(name + ".key"); }

 private:
  bool MakeAuthority(const std::string& name) {
    return Shell("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj '/O=Kestrel test/CN=" +
                 name + " CA' -keyout '" + Path(name + "-ca.key") + "' -out '" + Ca(name) + "'");
  }
  bool Issue(const std::string& authority, const std::string& name,
             const std::string& days = "1") {
    return Shell("openssl req -newkey rsa:2048 -nodes -subj '/O=Kestrel test/CN=" + name +
                 "' -keyout '" + Key(name) + "' -out '" + Path(name + ".csr") + "'") &&
           Shell("openssl x509 -req -days " + days + " -in '" + Path(name + ".csr") + "' -CA '" +
                 Ca(authority) + "' -CAkey '" + Path(authority + "-ca.key") +
                 "' -CAcreateserial -out '" + Cert(name) + "'");
  }

  std::string dir_;
};

}  // namespace testing
}  // namespace kestrel

#endif  // KESTREL_TESTS_TOOLS_TEST_AUTHORITIES_H_
