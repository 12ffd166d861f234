// Creating the library's objects in the test process, as the class factory
// does: the creator, then the client interface, then the creation
// reference given back.

#ifndef KESTREL_TESTS_SUPPORT_COMPONENT_OBJECTS_H_
#define KESTREL_TESTS_SUPPORT_COMPONENT_OBJECTS_H_

#include <gtest/gtest.h>

#include "server/com_object_base.h"

namespace kestrel {
namespace testing {

template <class Interface>
Interface* Create(HRESULT (*creator)(IUnknown*, ComObjectBase**), const IID& iid) {
  ComObjectBase* object = nullptr;
  EXPECT_EQ(S_OK, creator(nullptr, &object));
  Interface* client = nullptr;
  EXPECT_EQ(S_OK, object->QueryInterface(iid, reinterpret_cast<void**>(&client)));
  object->Release();
  return client;
}

}  // namespace testing
}  // namespace kestrel

#endif  // KESTREL_TESTS_SUPPORT_COMPONENT_OBJECTS_H_
