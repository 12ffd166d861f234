// The channel that a command-line tool is aimed at, named either way that
// the tools accept it:
//
//   --channel corbaloc:iiop:HOST:PORT/KEY   the address that kestrel-channeld
//                                           prints for each channel
//   --host HOST --port PORT --key KEY       its three parts
//
// Several services that serve the same channel are named by a list,
// corbaloc:iiop:HOST1:PORT1,iiop:HOST2:PORT2/KEY, which the library tries in
// order. Its parts are those of the library's settings: everything up to
// the last port is the host (HOST1:PORT1,iiop:HOST2), and that port is the
// port, so that the library composes the same address again.
//
// One way or the other, not both: a command line that mixes them would
// leave the reader guessing which part wins, so it is a usage error.
//
// corbaloc:ssliop:... (every address of a list by ssliop:) asks for IIOP
// over TLS, and so does any of --tls-cert, --tls-key and --tls-ca: the
// files that they name replace the machine's (the library's TlsCertFile,
// TlsKeyFile and TlsCaFile), and those not named keep them.

#ifndef KESTREL_TOOLS_COMMON_CHANNEL_ADDRESS_H_
#define KESTREL_TOOLS_COMMON_CHANNEL_ADDRESS_H_

#include <cstdint>
#include <string>

namespace kestrel {
namespace tools {

struct ChannelAddress {
  std::string host;  // an IPv6 address keeps its brackets: [::1]; see above for a list
  uint32_t port = 0;
  std::string key;
  bool tls = false;  // by TLS, with the files below where named
  std::string certificateFile;
  std::string keyFile;
  std::string authorityFile;
};

// Parses corbaloc:iiop:HOST:PORT/KEY, or a list of HOST:PORT that each
// start with iiop: after the first (ports written in decimal once more);
// ssliop: in place of iiop: throughout sets tls.
// False, with error saying what is wrong, for anything else: another scheme
// or protocol, no port, a port beyond 1..65535, an empty key, a host part
// longer than the library reads (259 characters).
bool ParseChannelAddress(const std::string& text, ChannelAddress* address, std::string* error);

// Collects a tool's channel options as its command line goes by.
class ChannelOptions {
 public:
  enum class Taken { kNotMine, kTaken, kBadValue };

  // Takes option (--channel, --host, --port, --key, --tls-cert, --tls-key
  // or --tls-ca) with its value;
  // kNotMine for any other option. kBadValue with error set when the value
  // is not one that the option takes.
  Taken Take(const std::string& option, const std::string& value, std::string* error);

  // Once every option was taken: the channel, or false with error set when
  // it was not named completely, or named both ways.
  bool Finish(ChannelAddress* address, std::string* error) const;

 private:
  ChannelAddress parts_;
  bool hasChannel_ = false;
  bool hasHost_ = false;
  bool hasPort_ = false;
  bool hasKey_ = false;
  ChannelAddress channel_;
  ChannelAddress tlsFiles_;  // the --tls-* options
};

// The usage text's lines about the channel options, shared by the tools.
extern const char kChannelOptionsHelp[];

}  // namespace tools
}  // namespace kestrel

#endif  // KESTREL_TOOLS_COMMON_CHANNEL_ADDRESS_H_
