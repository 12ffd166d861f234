#include "platform/guid_text.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace kestrel {

std::string GuidToText(const GUID& guid) {
  char text[kGuidTextLength + 1];
  std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6],
                guid.Data4[7]);
  return text;
}

bool GuidFromText(const char* text, GUID* guid) {
  if (text == nullptr || std::strlen(text) != kGuidTextLength) return false;
  static const char kShape[] = "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}";
  uint8_t bytes[16];
  int nibbles = 0;
  for (size_t i = 0; i < kGuidTextLength; ++i) {
    char c = text[i];
    if (kShape[i] != 'X') {
      if (c != kShape[i]) return false;
      continue;
    }
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    int value = std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::toupper(c) - 'A' + 10;
    uint8_t& byte = bytes[nibbles / 2];
    byte = static_cast<uint8_t>(nibbles % 2 == 0 ? value << 4 : byte | value);
    ++nibbles;
  }
  guid->Data1 = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) |
                (uint32_t{bytes[2]} << 8) | bytes[3];
  guid->Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
  guid->Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
  std::memcpy(guid->Data4, bytes + 8, 8);
  return true;
}

}  // namespace kestrel
