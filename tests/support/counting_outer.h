// An outer object for aggregation tests, and what aggregating one of
// Kestrel's objects must give it. Header-only and free of the library's
// internals, so that the Windows tests use it through COM as well.
//
//   CountingOuter outer;
//   IUnknown* inner = ...;  // created with &outer, asking for IID_IUnknown
//   outer.inner = inner;
//   ExpectClientInterfaceCountsOnOuter(&outer, inner);
//   inner->Release();

#ifndef KESTREL_TESTS_SUPPORT_COUNTING_OUTER_H_
#define KESTREL_TESTS_SUPPORT_COUNTING_OUTER_H_

#include <gtest/gtest.h>

#include "kestrel/notification.h"

namespace kestrel {
namespace testing {

// Counts its own references; answers every query but IUnknown through the
// inner object that it aggregates.
class CountingOuter : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(const IID& riid, void** out) override {
    if (IsEqualGUID(riid, IID_IUnknown)) {
      *out = this;
      AddRef();
      return S_OK;
    }
    return inner != nullptr ? inner->QueryInterface(riid, out) : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++count; }
  ULONG STDMETHODCALLTYPE Release() override { return --count; }

  ULONG count = 1;
  IUnknown* inner = nullptr;
};

// inner is a supplier aggregated by outer. Its client interface counts on
// the outer object, and a query for IUnknown through it reaches the outer
// identity; the inner identity answers for the inner object itself. Leaves
// the counts as they were.
inline void ExpectClientInterfaceCountsOnOuter(CountingOuter* outer, IUnknown* inner) {
  INotificationSupplier* supplier = nullptr;
  ASSERT_EQ(S_OK, inner->QueryInterface(IID_INotificationSupplier, reinterpret_cast<void**>(&supplier)));
  EXPECT_EQ(2u, outer->count);  // the query's reference went to the outer object

  EXPECT_EQ(3u, supplier->AddRef());
  EXPECT_EQ(2u, supplier->Release());
  EXPECT_EQ(2u, outer->count);

  IUnknown* viaClient = nullptr;
  ASSERT_EQ(S_OK, supplier->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&viaClient)));
  EXPECT_EQ(static_cast<IUnknown*>(outer), viaClient);
  viaClient->Release();
  supplier->Release();
  EXPECT_EQ(1u, outer->count);
}

}  // namespace testing
}  // namespace kestrel

#endif  // KESTREL_TESTS_SUPPORT_COUNTING_OUTER_H_
