#include "platform/registry_file.h"

#include <cctype>
#include <cstdio>
#include <vector>

namespace kestrel {

namespace {

constexpr std::string_view kHeader = "REGEDIT4";

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

std::string_view TrimLeft(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  return s;
}

// Reads a quoted string at the start of *s (escapes \\ and \"), advancing past
// the closing quote.
bool ReadQuoted(std::string_view* s, std::string* out) {
  if (s->empty() || s->front() != '"') return false;
  out->clear();
  size_t i = 1;
  while (i < s->size()) {
    char c = (*s)[i];
    if (c == '"') {
      s->remove_prefix(i + 1);
      return true;
    }
    if (c == '\\') {
      if (i + 1 >= s->size()) return false;
      char next = (*s)[i + 1];
      if (next != '\\' && next != '"') return false;
      out->push_back(next);
      i += 2;
      continue;
    }
    out->push_back(c);
    ++i;
  }
  return false;
}

bool ParseDword(std::string_view digits, uint32_t* out) {
  if (digits.empty() || digits.size() > 8) return false;
  uint32_t value = 0;
  for (char c : digits) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    value = value * 16 + static_cast<uint32_t>(std::isdigit(static_cast<unsigned char>(c))
                                                   ? c - '0'
                                                   : std::tolower(c) - 'a' + 10);
  }
  *out = value;
  return true;
}

// The data of a hex: or hex(n): value, as it will be stored: the type
// prefix, then the bytes as hex digits and commas with the white space of
// the file's layout left out, so that rewriting the file changes nothing.
// False for anything else.
bool NormaliseOtherTypeData(std::string_view data, std::string* normalised) {
  size_t colon = data.find(':');
  if (colon == std::string_view::npos) return false;
  std::string_view type = data.substr(0, colon);
  bool hexType = type == "hex";
  if (!hexType && type.substr(0, 4) == "hex(" && type.size() > 5 && type.back() == ')') {
    hexType = true;
    for (char c : type.substr(4, type.size() - 5)) {
      if (!std::isxdigit(static_cast<unsigned char>(c))) hexType = false;
    }
  }
  if (!hexType) return false;
  normalised->assign(data.substr(0, colon + 1));
  for (char c : data.substr(colon + 1)) {
    if (c == ' ' || c == '\t') continue;
    if (c != ',' && !std::isxdigit(static_cast<unsigned char>(c))) return false;
    normalised->push_back(c);
  }
  return true;
}

bool ParseValueLine(std::string_view line, RegistryKey* key) {
  std::string name;
  if (line.substr(0, 1) == "@") {
    line.remove_prefix(1);
  } else if (!ReadQuoted(&line, &name)) {
    return false;
  }
  line = TrimLeft(line);
  if (line.empty() || line.front() != '=') return false;
  line = TrimLeft(line.substr(1));

  if (!line.empty() && line.front() == '"') {
    std::string data;
    if (!ReadQuoted(&line, &data) || !TrimLeft(line).empty()) return false;
    return key->SetString(name, data);
  }
  if (line.substr(0, 6) == "dword:") {
    uint32_t number = 0;
    return ParseDword(line.substr(6), &number) && key->SetDword(name, number);
  }
  std::string normalised;
  return NormaliseOtherTypeData(line, &normalised) && key->SetOther(name, normalised);
}

// Splits text into logical lines: a line that ends in a backslash continues
// on the next one (used by the hex: types).
std::vector<std::string> LogicalLines(std::string_view text) {
  std::vector<std::string> lines;
  std::string pending;
  bool continuing = false;
  while (!text.empty()) {
    size_t end = text.find('\n');
    std::string_view raw = TrimRight(text.substr(0, end));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    std::string_view piece = continuing ? TrimLeft(raw) : raw;
    // No line of a key, string or number ends in a backslash, so one that
    // does is hex data that goes on; comments never continue.
    bool isComment = !continuing && !TrimLeft(piece).empty() && TrimLeft(piece).front() == ';';
    bool continues = !piece.empty() && piece.back() == '\\' && !isComment;
    if (continues) piece.remove_suffix(1);
    pending.append(piece);
    continuing = continues;
    if (!continuing) {
      lines.push_back(std::move(pending));
      pending.clear();
    }
  }
  if (continuing) lines.push_back(std::move(pending));
  return lines;
}

void AppendQuoted(std::string_view text, std::string* out) {
  out->push_back('"');
  for (char c : text) {
    if (c == '\\' || c == '"') out->push_back('\\');
    out->push_back(c);
  }
  out->push_back('"');
}

void AppendValue(const std::string& name, const RegistryValue& value, std::string* out) {
  if (name.empty()) {
    out->push_back('@');
  } else {
    AppendQuoted(name, out);
  }
  out->push_back('=');
  switch (value.type) {
    case RegistryValue::Type::kString:
      AppendQuoted(value.text, out);
      break;
    case RegistryValue::Type::kDword: {
      char digits[16];
      std::snprintf(digits, sizeof digits, "dword:%08x", value.number);
      out->append(digits);
      break;
    }
    case RegistryValue::Type::kOther:
      out->append(value.text);
      break;
  }
  out->push_back('\n');
}

void AppendKey(const RegistryKey& key, const std::string& path, std::string* out) {
  out->append("\n[").append(path).append("]\n");
  for (const auto& entry : key.values()) AppendValue(entry.first, entry.second, out);
  for (const RegistryKey* child : key.Subkeys()) {
    AppendKey(*child, path + "\\" + child->name(), out);
  }
}

}  // namespace

bool ParseRegistryText(std::string_view text, RegistryTree* tree) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  bool seenHeader = false;
  RegistryKey* current = nullptr;
  for (const std::string& stored : LogicalLines(text)) {
    std::string_view line = TrimLeft(stored);
    if (line.empty() || line.front() == ';') continue;
    if (!seenHeader) {
      if (line != kHeader) return false;
      seenHeader = true;
      continue;
    }
    if (line.front() == '[') {
      if (line.back() != ']') return false;
      std::string_view path = line.substr(1, line.size() - 2);
      // Only keys below a root; deletion entries ("[-...]") are not ours.
      if (path.substr(0, 5) != "HKEY_" || path.find('\\') == 0) return false;
      current = tree->top().Create(path);
      if (current == nullptr) return false;
      continue;
    }
    if (current == nullptr || !ParseValueLine(line, current)) return false;
  }
  return true;
}

std::string SerializeRegistry(const RegistryTree& tree) {
  std::string out(kHeader);
  out.push_back('\n');
  for (const RegistryKey* root : tree.top().Subkeys()) {
    for (const RegistryKey* key : root->Subkeys()) {
      AppendKey(*key, root->name() + "\\" + key->name(), &out);
    }
    // A root's own values have no key line of their own otherwise.
    if (!root->values().empty()) {
      out.append("\n[").append(root->name()).append("]\n");
      for (const auto& entry : root->values()) AppendValue(entry.first, entry.second, &out);
    }
  }
  return out;
}

}  // namespace kestrel
