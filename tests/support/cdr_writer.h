// CDR written by hand, in either byte order, so that a test can say exactly
// what arrives, including what no ORB would marshal.

#ifndef KESTREL_TESTS_SUPPORT_CDR_WRITER_H_
#define KESTREL_TESTS_SUPPORT_CDR_WRITER_H_

#include <omniORB4/CORBA.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrel {
namespace testing {

// Alignment is counted
// from the writer's start, as in a message or an encapsulation.
class CdrWriter {
 public:
  explicit CdrWriter(bool bigEndian) : bigEndian_(bigEndian) {}

  CdrWriter& Octet(uint8_t value) {
    bytes_.push_back(value);
    return *this;
  }
  CdrWriter& UShort(uint16_t value) { return Number(value, 2); }
  CdrWriter& ULong(uint32_t value) { return Number(value, 4); }
  CdrWriter& String(const std::string& text) {
    ULong(static_cast<uint32_t>(text.size() + 1));
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    return Octet(0);
  }
  // An encapsulation: its length, then its byte-order octet and content.
  CdrWriter& Encapsulation(const CdrWriter& content) {
    ULong(static_cast<uint32_t>(content.bytes_.size()));
    bytes_.insert(bytes_.end(), content.bytes_.begin(), content.bytes_.end());
    return *this;
  }
  // A type code written by another writer, at the alignment it was written for.
  CdrWriter& TypeCode(const CdrWriter& type) {
    while (bytes_.size() % 4 != 0) bytes_.push_back(0);
    bytes_.insert(bytes_.end(), type.bytes_.begin(), type.bytes_.end());
    return *this;
  }
  // A new encapsulation's content, which starts with its byte order.
  static CdrWriter Encapsulated(bool bigEndian) {
    CdrWriter content(bigEndian);
    content.Octet(bigEndian ? 0 : 1);
    return content;
  }
  // A type code of a kind with an encapsulated parameter list.
  CdrWriter& Complex(CORBA::TCKind kind, const CdrWriter& parameters) {
    return ULong(kind).Encapsulation(parameters);
  }

  const std::vector<uint8_t>& bytes() const { return bytes_; }
  bool bigEndian() const { return bigEndian_; }
  // The bytes as hexadecimal text, two digits each.
  std::string Hex() const {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t octet : bytes_) {
      text += kDigits[octet >> 4];
      text += kDigits[octet & 15];
    }
    return text;
  }

 private:
  CdrWriter& Number(uint64_t value, size_t size) {
    while (bytes_.size() % size != 0) bytes_.push_back(0);
    for (size_t i = 0; i < size; ++i) {
      size_t shift = 8 * (bigEndian_ ? size - 1 - i : i);
      bytes_.push_back(static_cast<uint8_t>(value >> shift));
    }
    return *this;
  }

  bool bigEndian_;
  std::vector<uint8_t> bytes_;
};

}  // namespace testing
}  // namespace kestrel

#endif  // KESTREL_TESTS_SUPPORT_CDR_WRITER_H_
