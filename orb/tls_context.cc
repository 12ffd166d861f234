#include "orb/tls_context.h"

#include <omniORB4/CORBA.h>
#include <omniORB4/sslContext.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace kestrel {

namespace {

template <class T, void (*Free)(T*)>
struct Freer {
  void operator()(T* object) const { Free(object); }
};
using SslContextPtr = std::unique_ptr<SSL_CTX, Freer<SSL_CTX, SSL_CTX_free>>;
using StorePtr = std::unique_ptr<X509_STORE, Freer<X509_STORE, X509_STORE_free>>;
using StoreContextPtr =
    std::unique_ptr<X509_STORE_CTX, Freer<X509_STORE_CTX, X509_STORE_CTX_free>>;
using BioPtr = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;
using EvpKeyPtr = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;

// OpenSSL asks for the key's password through a callback.
int GivePassword(char* buffer, int size, int /*writing*/, void* password) {
  const std::string& text = *static_cast<const std::string*>(password);
  if (text.empty() || static_cast<int>(text.size()) >= size) return 0;
  std::memcpy(buffer, text.data(), text.size());
  return static_cast<int>(text.size());
}

// The newest error OpenSSL queued, and the queue emptied.
std::string TakeOpenSslError() {
  unsigned long code = ERR_peek_last_error();
  ERR_clear_error();
  if (code == 0) return "unknown error";
  const char* reason = ERR_reason_error_string(code);
  return reason != nullptr ? reason : "error " + std::to_string(code);
}

EvpKeyPtr ReadKey(const TlsFiles& files, std::string* error) {
  BioPtr file(BIO_new_file(files.key.c_str(), "r"));
  EvpKeyPtr key;
  if (file) {
    key.reset(PEM_read_bio_PrivateKey(file.get(), nullptr, &GivePassword,
                                      const_cast<std::string*>(&files.keyPassword)));
  }
  if (!key) {
    *error = "cannot read the private key in " + files.key + ": " + TakeOpenSslError() +
             (files.keyPassword.empty() ? " (an encrypted key needs its password)"
                                        : " (is its password right?)");
  }
  return key;
}

// Both roles in one context, as omniORB uses it.
bool LoadInto(SSL_CTX* context, const TlsFiles& files, std::string* error) {
  SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
  if (SSL_CTX_use_certificate_chain_file(context, files.certificate.c_str()) != 1) {
    *error = "cannot use the certificate in " + files.certificate + ": " + TakeOpenSslError();
    return false;
  }
  EvpKeyPtr key = ReadKey(files, error);
  if (!key) return false;
  if (X509_check_private_key(SSL_CTX_get0_certificate(context), key.get()) != 1) {
    ERR_clear_error();
    *error = "the private key in " + files.key + " does not belong to the certificate in " +
             files.certificate;
    return false;
  }
  if (SSL_CTX_use_PrivateKey(context, key.get()) != 1) {
    *error = "cannot use the private key in " + files.key + ": " + TakeOpenSslError();
    return false;
  }
  if (SSL_CTX_load_verify_locations(context, files.authority.c_str(), nullptr) != 1) {
    *error = "cannot use the certificate authority in " + files.authority + ": " +
             TakeOpenSslError();
    return false;
  }
  // Tells clients which authority's certificate to present.
  STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(files.authority.c_str());
  if (names != nullptr) SSL_CTX_set_client_CA_list(context, names);
  SSL_CTX_set_verify(context, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
  return true;
}

// omniORB's context with the files loaded our way: the certificate and the
// key from files of their own, the key loaded whether or not it has a
// password, and no TLS older than 1.2.
class TlsContext : public sslContext {
 public:
  explicit TlsContext(const TlsFiles& files) : files_(files) {}

 protected:
  void set_supported_versions() override {}
  void set_certificate() override {}
  void set_privatekey() override {}
  void set_CA() override {
    std::string error;
    if (!LoadInto(get_SSL_CTX(), files_, &error)) {
      throw CORBA::INITIALIZE(omni::INITIALIZE_TransportError, CORBA::COMPLETED_NO);
    }
  }
  int set_verify_mode() override { return SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT; }

 private:
  const TlsFiles files_;
};

std::string Unreadable(const std::string& what, const std::string& file) {
  if (file.empty()) return what + " is not named";
  std::FILE* opened = std::fopen(file.c_str(), "rb");
  if (opened == nullptr) return "cannot read " + what + " " + file + ": " + std::strerror(errno);
  std::fclose(opened);
  return std::string();
}

std::string TimeText(const ASN1_TIME* time) {
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio || ASN1_TIME_print(bio.get(), time) != 1) return "an unreadable date";
  char* text = nullptr;
  long length = BIO_get_mem_data(bio.get(), &text);
  return std::string(text, static_cast<std::size_t>(length));
}

// The loaded certificate against the clock and the authority.
std::string CheckCertificate(SSL_CTX* context, const TlsFiles& files) {
  X509* certificate = SSL_CTX_get0_certificate(context);
  if (certificate == nullptr) return "no certificate in " + files.certificate;
  if (X509_cmp_current_time(X509_get0_notAfter(certificate)) <= 0) {
    return "the certificate in " + files.certificate + " expired on " +
           TimeText(X509_get0_notAfter(certificate));
  }
  if (X509_cmp_current_time(X509_get0_notBefore(certificate)) > 0) {
    return "the certificate in " + files.certificate + " is not valid before " +
           TimeText(X509_get0_notBefore(certificate));
  }
  STACK_OF(X509)* chain = nullptr;
  SSL_CTX_get0_chain_certs(context, &chain);
  StoreContextPtr verification(X509_STORE_CTX_new());
  if (!verification ||
      X509_STORE_CTX_init(verification.get(), SSL_CTX_get_cert_store(context), certificate,
                          chain) != 1) {
    return "cannot check the certificate in " + files.certificate + ": " + TakeOpenSslError();
  }
  if (X509_verify_cert(verification.get()) != 1) {
    int why = X509_STORE_CTX_get_error(verification.get());
    ERR_clear_error();
    return "the certificate in " + files.certificate + " does not check against the authority in " +
           files.authority + ": " + X509_verify_cert_error_string(why);
  }
  return std::string();
}

}  // namespace

std::string CheckTlsFiles(const TlsFiles& files) {
  for (const auto& [what, file] : {std::make_pair("the certificate", &files.certificate),
                                   std::make_pair("the private key", &files.key),
                                   std::make_pair("the certificate authority", &files.authority)}) {
    std::string problem = Unreadable(what, *file);
    if (!problem.empty()) return problem;
  }
  SslContextPtr context(SSL_CTX_new(TLS_method()));
  if (!context) return "cannot make a TLS context: " + TakeOpenSslError();
  std::string error;
  if (!LoadInto(context.get(), files, &error)) return error;
  return CheckCertificate(context.get(), files);
}

void InstallTlsContext(const TlsFiles& files) {
  sslContext* current = sslContext::singleton;
  if (current != nullptr) {
    // A context that an ORB has set up is that ORB's, and stays.
    if (current->get_SSL_CTX() != nullptr || dynamic_cast<TlsContext*>(current) == nullptr) return;
    delete current;  // ours, left unused by an ORB_init that failed
  }
  sslContext::singleton = new TlsContext(files);
}

std::string CertificateSubject(X509* certificate) {
  if (certificate == nullptr) return std::string();
  BioPtr bio(BIO_new(BIO_s_mem()));
  if (!bio) return std::string();
  X509_NAME_print_ex(bio.get(), X509_get_subject_name(certificate), 0,
                     XN_FLAG_RFC2253 & ~ASN1_STRFLGS_ESC_MSB);
  char* text = nullptr;
  long length = BIO_get_mem_data(bio.get(), &text);
  return std::string(text, static_cast<std::size_t>(length));
}

}  // namespace kestrel
