// The one table from CORBA exceptions to result codes.

#include <gtest/gtest.h>

#include <omniORB4/CORBA.h>

#include <functional>
#include <string>

#include "kestrel/result_codes.h"
#include "orb/corba_result.h"

namespace kestrel {
namespace {

struct Row {
  std::function<void()> raise;
  HRESULT code;
  const char* name;
};

#define KESTREL_RAISES(exception, code) \
  Row { [] { throw CORBA::exception(0, CORBA::COMPLETED_NO); }, code, #code }

TEST(CorbaResult, EverySystemExceptionHasItsCode) {
  const Row rows[] = {
      KESTREL_RAISES(COMM_FAILURE, E_CORBA_COMM_FAILURE),
      KESTREL_RAISES(UNKNOWN, E_CORBA_UNKNOWN),
      KESTREL_RAISES(BAD_PARAM, E_CORBA_BAD_PARAM),
      KESTREL_RAISES(NO_MEMORY, E_CORBA_NO_MEMORY),
      KESTREL_RAISES(IMP_LIMIT, E_CORBA_IMP_LIMIT),
      KESTREL_RAISES(INV_OBJREF, E_CORBA_IMP_LIMIT),
      KESTREL_RAISES(OBJECT_NOT_EXIST, E_CORBA_OBJECT_NOT_EXIST),
      KESTREL_RAISES(NO_PERMISSION, E_CORBA_NO_PERMISSION),
      KESTREL_RAISES(INTERNAL, E_CORBA_INTERNAL),
      KESTREL_RAISES(MARSHAL, E_CORBA_MARSHAL),
      KESTREL_RAISES(INITIALIZE, E_CORBA_INITIALIZE),
      KESTREL_RAISES(NO_IMPLEMENT, E_CORBA_NO_IMPLEMENT),
      KESTREL_RAISES(BAD_TYPECODE, E_CORBA_BAD_TYPECODE),
      KESTREL_RAISES(BAD_OPERATION, E_CORBA_BAD_OPERATION),
      KESTREL_RAISES(NO_RESOURCES, E_CORBA_NO_RESOURCES),
      KESTREL_RAISES(NO_RESPONSE, E_CORBA_NO_RESPONSE),
      KESTREL_RAISES(PERSIST_STORE, E_CORBA_PERSIST_STORE),
      KESTREL_RAISES(BAD_INV_ORDER, E_CORBA_BAD_INV_ORDER),
      KESTREL_RAISES(TRANSIENT, E_CORBA_TRANSIENT),
      KESTREL_RAISES(FREE_MEM, E_CORBA_FREE_MEM),
      KESTREL_RAISES(INV_IDENT, E_CORBA_INV_IDENT),
      KESTREL_RAISES(INV_FLAG, E_CORBA_INV_FLAG),
      KESTREL_RAISES(INTF_REPOS, E_CORBA_INTF_REPOS),
      KESTREL_RAISES(BAD_CONTEXT, E_CORBA_BAD_CONTEXT),
      KESTREL_RAISES(OBJ_ADAPTER, E_CORBA_OBJ_ADAPTER),
      KESTREL_RAISES(DATA_CONVERSION, E_CORBA_DATA_CONVERSION),
      KESTREL_RAISES(INV_POLICY, E_CORBA_INV_POLICY),
      KESTREL_RAISES(REBIND, E_CORBA_REBIND),
      KESTREL_RAISES(TIMEOUT, E_CORBA_TIMEOUT),
      KESTREL_RAISES(TRANSACTION_UNAVAILABLE, E_CORBA_TRANSACTION_UNAVAILABLE),
      KESTREL_RAISES(TRANSACTION_MODE, E_CORBA_TRANSACTION_MODE),
      KESTREL_RAISES(TRANSACTION_REQUIRED, E_CORBA_TRANSACTION_REQUIRED),
      KESTREL_RAISES(TRANSACTION_ROLLEDBACK, E_CORBA_TRANSACTION_ROLLEDBACK),
      KESTREL_RAISES(INVALID_TRANSACTION, E_CORBA_INVALID_TRANSACTION),
      KESTREL_RAISES(CODESET_INCOMPATIBLE, E_CORBA_CODESET_INCOMPATIBLE),
      KESTREL_RAISES(BAD_QOS, E_CORBA_BAD_QOS),
  };
  ASSERT_EQ(36u, sizeof rows / sizeof rows[0]);
  for (const Row& row : rows) {
    EXPECT_EQ(row.code, Guarded([&row]() -> HRESULT {
                row.raise();
                return S_OK;
              }))
        << row.name;
  }
}

TEST(CorbaResult, UserExceptionsAreUnknown) {
  HRESULT hr = Guarded([]() -> HRESULT { throw CORBA::ORB::InvalidName(); });
  EXPECT_EQ(E_CORBA_UNKNOWN, hr);
  EXPECT_EQ(static_cast<HRESULT>(0x80040B50), hr);
}

TEST(CorbaResult, CodesHaveTheirPublishedValues) {
  EXPECT_EQ(static_cast<HRESULT>(0x80040B53), E_CORBA_IMP_LIMIT);
  EXPECT_EQ(static_cast<HRESULT>(0x80040B6B), E_CORBA_TRANSACTION_REQUIRED);
  EXPECT_EQ(static_cast<HRESULT>(0x80040B75), E_CORBA_BAD_QOS);
  EXPECT_EQ(static_cast<HRESULT>(0x80040509), E_NOTIFY_INVALIDARG);
}

TEST(CorbaResult, GuardedPassesTheBodysAnswerThrough) {
  EXPECT_EQ(E_FAIL, Guarded([] { return E_FAIL; }));
  EXPECT_EQ(S_OK, Guarded([] { return S_OK; }));
}

// An assertion inside omniORB (seen when a broker starts while the one
// before it still winds down) is a failure code, not the end of the client.
TEST(CorbaResult, OmniOrbsInternalErrorsAreInternal) {
  HRESULT hr = Guarded([]() -> HRESULT {
    throw omniORB::fatalException(__FILE__, __LINE__, "pd_state != ZOMBIE");
  });
  EXPECT_EQ(E_CORBA_INTERNAL, hr);
}

TEST(ResultNames, NameTheCodesForTools) {
  EXPECT_STREQ("E_CORBA_COMM_FAILURE", KestrelResultName(E_CORBA_COMM_FAILURE));
  EXPECT_STREQ("E_CORBA_IMP_LIMIT", KestrelResultName(static_cast<HRESULT>(0x80040B53)));
  EXPECT_STREQ("E_NOTIFY_INVALIDARG", KestrelResultName(static_cast<HRESULT>(0x80040509)));
  EXPECT_STREQ("REGDB_E_CLASSNOTREG", KestrelResultName(static_cast<HRESULT>(0x80040154)));
  EXPECT_EQ(nullptr, KestrelResultName(static_cast<HRESULT>(0x80040B55)));
}

}  // namespace
}  // namespace kestrel
