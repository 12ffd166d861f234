#include "platform/registry_tree.h"

#include <algorithm>
#include <cctype>

namespace kestrel {

namespace {

// Calls visit(piece) for each non-empty piece of a backslash-separated path;
// stops and answers false as soon as visit does.
template <class Visit>
bool ForEachPiece(std::string_view path, Visit visit) {
  while (!path.empty()) {
    size_t end = path.find('\\');
    std::string_view piece = path.substr(0, end);
    if (!piece.empty() && !visit(piece)) return false;
    if (end == std::string_view::npos) break;
    path.remove_prefix(end + 1);
  }
  return true;
}

}  // namespace

const char* RegistryRootName(RegistryRoot root) {
  return root == RegistryRoot::kClassesRoot ? "HKEY_CLASSES_ROOT" : "HKEY_LOCAL_MACHINE";
}

bool CaseInsensitiveLess::operator()(std::string_view a, std::string_view b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                      [](unsigned char x, unsigned char y) {
                                        return std::tolower(x) < std::tolower(y);
                                      });
}

bool IsStorableText(std::string_view text) {
  return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos;
}

RegistryKey* RegistryKey::Child(std::string_view name) const {
  auto it = subkeys_.find(name);
  return it == subkeys_.end() ? nullptr : it->second.get();
}

RegistryKey* RegistryKey::Find(std::string_view path) {
  RegistryKey* key = this;
  bool found = ForEachPiece(path, [&key](std::string_view piece) {
    key = key->Child(piece);
    return key != nullptr;
  });
  return found ? key : nullptr;
}

const RegistryKey* RegistryKey::Find(std::string_view path) const {
  return const_cast<RegistryKey*>(this)->Find(path);
}

RegistryKey* RegistryKey::Create(std::string_view path) {
  if (!IsStorableText(path)) return nullptr;
  RegistryKey* key = this;
  ForEachPiece(path, [&key](std::string_view piece) {
    RegistryKey* child = key->Child(piece);
    if (child == nullptr) {
      auto made = std::make_unique<RegistryKey>(std::string(piece));
      child = made.get();
      key->subkeys_.emplace(std::string(piece), std::move(made));
    }
    key = child;
    return true;
  });
  return key;
}

bool RegistryKey::DeleteSubkey(std::string_view name) {
  auto it = subkeys_.find(name);
  if (it == subkeys_.end()) return false;
  subkeys_.erase(it);
  return true;
}

std::vector<const RegistryKey*> RegistryKey::Subkeys() const {
  std::vector<const RegistryKey*> keys;
  keys.reserve(subkeys_.size());
  for (const auto& entry : subkeys_) keys.push_back(entry.second.get());
  return keys;
}

bool RegistryKey::SetString(std::string_view valueName, std::string_view data) {
  if (!IsStorableText(valueName) || !IsStorableText(data)) return false;
  RegistryValue& value = values_[std::string(valueName)];
  value = RegistryValue{RegistryValue::Type::kString, std::string(data), 0};
  return true;
}

bool RegistryKey::SetDword(std::string_view valueName, uint32_t data) {
  if (!IsStorableText(valueName)) return false;
  values_[std::string(valueName)] = RegistryValue{RegistryValue::Type::kDword, "", data};
  return true;
}

bool RegistryKey::SetOther(std::string_view valueName, std::string_view fileText) {
  if (!IsStorableText(valueName)) return false;
  values_[std::string(valueName)] =
      RegistryValue{RegistryValue::Type::kOther, std::string(fileText), 0};
  return true;
}

const RegistryValue* RegistryKey::FindValue(std::string_view valueName) const {
  auto it = values_.find(valueName);
  return it == values_.end() ? nullptr : &it->second;
}

RegistryKey* RegistryTree::Find(RegistryRoot root, std::string_view path) {
  RegistryKey* rootKey = top_.Find(RegistryRootName(root));
  return rootKey == nullptr ? nullptr : rootKey->Find(path);
}

const RegistryKey* RegistryTree::Find(RegistryRoot root, std::string_view path) const {
  return const_cast<RegistryTree*>(this)->Find(root, path);
}

RegistryKey* RegistryTree::Create(RegistryRoot root, std::string_view path) {
  RegistryKey* rootKey = top_.Create(RegistryRootName(root));
  return rootKey->Create(path);
}

}  // namespace kestrel
