// The events that the filter tests evaluate constraints against, and what
// builds them: Kestrel events whose body holds the event record, and events
// whose body holds a Sample, a struct of this test's own with a member of
// most kinds a constraint can reach.
//
// The process ORB, which makes the type codes, is this file's
// OrbEnvironment: a program that links it has one.

#ifndef KESTREL_TESTS_FILTER_TEST_EVENTS_H_
#define KESTREL_TESTS_FILTER_TEST_EVENTS_H_

#include <omniORB4/CORBA.h>
#include <omniORB4/cdrStream.h>

#include <COS/CosNotification.hh>

#include <functional>
#include <utility>
#include <vector>

namespace kestrel {
namespace testing {

// The eight events of the language table, by index:
//   0-5  Kestrel records: modules disk, net, disk, cpu, disk, mem; severity
//        1 to 6; message code 100 times the severity; domains, types,
//        names and properties as test_events.cc lays them out
//   6, 7 Samples (domain Lab, type Sample): 6's union holds case 1, 7's
//        its default
std::vector<CosNotification::StructuredEvent> LanguageEvents();

// An any of type whose value write puts on a stream, as a peer's broker
// would have marshalled it.
void Compose(CORBA::Any& any, CORBA::TypeCode_ptr type,
             const std::function<void(cdrStream&)>& write);

// A header with these names and no variable header.
CosNotification::StructuredEvent EventNamed(const char* domain, const char* type,
                                            const char* name);

// sequence<long> of count elements (0, 1, 2, ...).
void LongSequence(CORBA::Any& any, CORBA::ULong count);

// struct Node { sequence<Node> children; } nested depth deep, each node
// with one child but the innermost.
void NestedNodes(CORBA::Any& any, int depth);

}  // namespace testing
}  // namespace kestrel

#endif  // KESTREL_TESTS_FILTER_TEST_EVENTS_H_
