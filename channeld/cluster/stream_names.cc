#include "channeld/cluster/stream_names.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace kestrel {
namespace channeld {

namespace {

bool Plain(unsigned char c) { return std::isalnum(c) != 0 || c == '-'; }

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string StreamNames::Escape(const std::string& text) {
  std::string out;
  for (unsigned char c : text) {
    if (Plain(c)) {
      out += static_cast<char>(c);
      continue;
    }
    char hex[4];
    std::snprintf(hex, sizeof hex, "_%02X", c);
    out += hex;
  }
  return out;
}

bool StreamNames::Unescape(const std::string& text, std::string* out) {
  out->clear();
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char c = text[i];
    if (Plain(c)) {
      *out += static_cast<char>(c);
      continue;
    }
    if (c != '_' || i + 2 >= text.size()) return false;
    int high = HexDigit(text[i + 1]);
    int low = HexDigit(text[i + 2]);
    if (high < 0 || low < 0) return false;
    unsigned char decoded = static_cast<unsigned char>(high * 16 + low);
    // One spelling per key: a character that needs no escape never has one.
    if (Plain(decoded)) return false;
    *out += static_cast<char>(decoded);
    i += 2;
  }
  return !out->empty();
}

std::string StreamNames::Stream(const std::string& channel) {
  return kStreamPrefix + Escape(channel);
}

std::string StreamNames::Subject(const std::string& channel) {
  return "kestrel.events." + Escape(channel);
}

bool StreamNames::ChannelOf(const std::string& stream, std::string* channel) {
  std::size_t prefix = std::strlen(kStreamPrefix);
  if (stream.compare(0, prefix, kStreamPrefix) != 0) return false;
  return Unescape(stream.substr(prefix), channel);
}

}  // namespace channeld
}  // namespace kestrel
