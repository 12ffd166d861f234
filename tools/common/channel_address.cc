#include "tools/common/channel_address.h"

#include <vector>

#include "tools/common/component_loader.h"

namespace kestrel {
namespace tools {

namespace {

constexpr const char kScheme[] = "corbaloc:";

bool Fail(const std::string& reason, std::string* error) {
  *error = reason;
  return false;
}

// PORT of HOST:PORT: decimal digits, 1 to 65535.
bool ParsePort(const std::string& digits, uint32_t* port, std::string* error) {
  if (digits.empty()) return Fail("no port after the host (HOST:PORT)", error);
  if (digits.find_first_not_of("0123456789") != std::string::npos) {
    return Fail("the port " + digits + " is not a decimal number", error);
  }
  uint32_t value = 0;
  if (!ParseNumber(digits.c_str(), &value) || value == 0 || value > 65535) {
    return Fail("the port " + digits + " is not between 1 and 65535", error);
  }
  *port = value;
  return true;
}

// HOST:PORT, HOST being a name, an IPv4 address or a bracketed IPv6 one.
bool ParseHostAndPort(const std::string& text, ChannelAddress* address, std::string* error) {
  if (text.find('@') != std::string::npos) {
    return Fail("a GIOP version (1.2@HOST) is not taken; give HOST:PORT alone", error);
  }
  std::size_t colon;
  if (!text.empty() && text.front() == '[') {
    std::size_t close = text.find(']');
    if (close == std::string::npos) return Fail("the IPv6 host has no closing ]", error);
    if (close == 1) return Fail("the host between [ and ] is empty", error);
    colon = close + 1;
    if (colon >= text.size() || text[colon] != ':') {
      return Fail("no port after the host (HOST:PORT)", error);
    }
  } else {
    colon = text.find(':');
    if (colon == std::string::npos) return Fail("no port after the host (HOST:PORT)", error);
    if (text.find(':', colon + 1) != std::string::npos) {
      return Fail("an IPv6 host goes in brackets, as in [::1]:PORT", error);
    }
    if (colon == 0) return Fail("no host before the port", error);
  }
  address->host = text.substr(0, colon);
  return ParsePort(text.substr(colon + 1), &address->port, error);
}

// The library reads the host setting into 260 bytes, its terminator
// included: a longer one would be cut short without a word.
constexpr std::size_t kLongestHost = 259;

// HOST:PORT, or a list of several, HOST1:PORT1,iiop:HOST2:PORT2,...: the
// services that serve the channel, in the order that the library tries
// them. A list goes into the host setting whole but for its last port:
// the host "HOST1:PORT1,iiop:HOST2" with the port PORT2 gives the library
// the same list back.
bool ParseAddressList(const std::string& text, const std::string& protocol,
                      ChannelAddress* address, std::string* error) {
  const std::string separator = "," + protocol + ":";
  std::vector<std::string> items;
  for (std::size_t start = 0;;) {
    std::size_t comma = text.find(',', start);
    items.push_back(text.substr(start, comma == std::string::npos ? comma : comma - start));
    if (comma == std::string::npos) break;
    if (text.compare(comma, separator.size(), separator) != 0) {
      return Fail("each address after a comma starts with " + protocol + ": (HOST1:PORT1," +
                      protocol + ":HOST2:PORT2)",
                  error);
    }
    start = comma + separator.size();
  }
  std::string host;
  for (std::size_t i = 0; i < items.size(); ++i) {
    ChannelAddress one;
    std::string reason;
    if (!ParseHostAndPort(items[i], &one, &reason)) {
      if (items.size() == 1) return Fail(reason, error);
      return Fail("address " + std::to_string(i + 1) + " of " + std::to_string(items.size()) +
                      " (" + items[i] + "): " + reason,
                  error);
    }
    if (i + 1 < items.size()) {
      host += one.host + ":" + std::to_string(one.port) + separator;
    } else {
      host += one.host;
      address->port = one.port;
    }
  }
  if (host.size() > kLongestHost) {
    return Fail("the host part takes " + std::to_string(host.size()) + " characters, more than the " +
                    std::to_string(kLongestHost) + " that the library reads",
                error);
  }
  address->host = host;
  return true;
}

}  // namespace

const char kChannelOptionsHelp[] =
    "  --channel corbaloc:iiop:H:P/K  the channel, as kestrel-channeld prints it;\n"
    "               --host H --port P --key K name the same by its parts\n"
    "               (one way or the other, not both; an IPv6 H in brackets)\n"
    "               corbaloc:iiop:H1:P1,iiop:H2:P2/K names services that serve\n"
    "               the same channel, tried in order (as --host H1:P1,iiop:H2\n"
    "               --port P2)\n"
    "  --channel corbaloc:ssliop:H:P/K  the same by IIOP over TLS, with the\n"
    "               machine's certificate files (the library's TlsCertFile,\n"
    "               TlsKeyFile and TlsCaFile) or these, which also ask for TLS:\n"
    "  --tls-cert FILE, --tls-key FILE, --tls-ca FILE  this program's\n"
    "               certificate chain, its key and the authority that the\n"
    "               service's certificate comes from (PEM)\n";

bool ParseChannelAddress(const std::string& text, ChannelAddress* address, std::string* error) {
  ChannelAddress parsed;
  std::string protocol;
  for (const char* known : {"iiop", "ssliop"}) {
    std::string prefix = kScheme + std::string(known) + ":";
    if (text.compare(0, prefix.size(), prefix) == 0) protocol = known;
  }
  if (protocol.empty()) {
    return Fail("it does not start with corbaloc:iiop: or corbaloc:ssliop:", error);
  }
  parsed.tls = protocol == "ssliop";
  const std::size_t start = sizeof kScheme - 1 + protocol.size() + 1;
  std::size_t slash = text.find('/', start);
  if (slash == std::string::npos) return Fail("no object key (/KEY) after the port", error);
  if (!ParseAddressList(text.substr(start, slash - start), protocol, &parsed, error)) {
    return false;
  }
  parsed.key = text.substr(slash + 1);
  if (parsed.key.empty()) return Fail("the object key after / is empty", error);
  *address = parsed;
  return true;
}

ChannelOptions::Taken ChannelOptions::Take(const std::string& option, const std::string& value,
                                           std::string* error) {
  if (option == "--channel") {
    std::string reason;
    if (!ParseChannelAddress(value, &channel_, &reason)) {
      *error = "--channel " + value + ": " + reason;
      return Taken::kBadValue;
    }
    hasChannel_ = true;
  } else if (option == "--host") {
    parts_.host = value;
    hasHost_ = !value.empty();
  } else if (option == "--key") {
    parts_.key = value;
    hasKey_ = !value.empty();
  } else if (option == "--tls-cert" || option == "--tls-key" || option == "--tls-ca") {
    if (value.empty()) {
      *error = option + " takes a file";
      return Taken::kBadValue;
    }
    (option == "--tls-cert"  ? tlsFiles_.certificateFile
     : option == "--tls-key" ? tlsFiles_.keyFile
                             : tlsFiles_.authorityFile) = value;
    tlsFiles_.tls = true;
  } else if (option == "--port") {
    if (!ParseNumber(value.c_str(), &parts_.port) || parts_.port == 0 || parts_.port > 65535) {
      *error = "--port takes a number from 1 to 65535";
      return Taken::kBadValue;
    }
    hasPort_ = true;
  } else {
    return Taken::kNotMine;
  }
  return Taken::kTaken;
}

bool ChannelOptions::Finish(ChannelAddress* address, std::string* error) const {
  if (hasChannel_ && (hasHost_ || hasPort_ || hasKey_)) {
    return Fail("--channel names the whole channel: give it or --host, --port and --key, not both",
                error);
  }
  if (!hasChannel_ && (!hasHost_ || !hasPort_ || !hasKey_)) {
    return Fail("the channel is required: --channel corbaloc:iiop:HOST:PORT/KEY, or --host, "
                "--port and --key",
                error);
  }
  *address = hasChannel_ ? channel_ : parts_;
  address->tls = address->tls || tlsFiles_.tls;
  address->certificateFile = tlsFiles_.certificateFile;
  address->keyFile = tlsFiles_.keyFile;
  address->authorityFile = tlsFiles_.authorityFile;
  return true;
}

}  // namespace tools
}  // namespace kestrel
