// IIOP over TLS: the process's certificate, its key and the certificate
// authority that every peer's certificate must come from, handed to
// omniORB's TLS transport (giop:ssl endpoints, corbaloc:ssliop: addresses).
//
// omniORB keeps one TLS context per process, for both roles: the same
// certificate is presented to the servers the process calls and to the
// clients that call it, and either side refuses a peer without a
// certificate from the authority. TLS 1.2 is the oldest version spoken.
//
// omniORB checks no host name against a server's certificate: any holder of
// a certificate from the authority can pose as any server. The authority
// must therefore be one that signs only the site's own programs.
//
// Used by the library's brokers and by kestrel-channeld.

#ifndef KESTREL_ORB_TLS_CONTEXT_H_
#define KESTREL_ORB_TLS_CONTEXT_H_

#include <string>

typedef struct x509_st X509;

namespace kestrel {

struct TlsFiles {
  std::string certificate;  // PEM: this program's certificate, then its chain
  std::string key;          // PEM: the certificate's private key
  std::string authority;    // PEM: the authority's certificate(s)
  std::string keyPassword;  // for an encrypted key; empty: the key is plain

  // TLS is on when an authority is named.
  bool enabled() const { return !authority.empty(); }
};

// Loads the files as the transport will, and checks what a handshake would
// otherwise find out only later, and only on the peer's side: that all three
// are named and readable, that the certificate is within its validity period
// and comes from the authority, and that the key opens and belongs to the
// certificate. Answers an empty string when they are fit, else one sentence
// that names the file and what is wrong with it.
std::string CheckTlsFiles(const TlsFiles& files);

// Hands omniORB's TLS transport a context made from files, for the next
// ORB_init of this process; omniORB owns it from then on and deletes it when
// that ORB is destroyed. Call CheckTlsFiles first: a file that fails there
// fails this ORB_init with INITIALIZE. Does nothing while an ORB of the
// process has a context of its own (the client's, say).
// REQUIRES: files.enabled(); not concurrent with ORB_init.
void InstallTlsContext(const TlsFiles& files);

// The subject of certificate in RFC 2253's form ("CN=web1,O=Example"), as
// --allow-subject patterns are written; empty for a null certificate.
std::string CertificateSubject(X509* certificate);

}  // namespace kestrel

#endif  // KESTREL_ORB_TLS_CONTEXT_H_
