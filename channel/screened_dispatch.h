// Servant-side dispatch of the requests that carry anys, through the type
// code screen (type_code_screen.h) instead of the unmarshalling that omniidl
// generates. A servant that receives such requests overrides _dispatch and
// asks these first:
//
//   CORBA::Boolean MyServant::_dispatch(omniCallHandle& handle) {
//     return DispatchScreenedPush(this, handle) ||
//            POA_CosNotifyComm::StructuredPushConsumer::_dispatch(handle);
//   }
//
// Calls from the same process arrive as values already built, so they are
// left to the generated dispatch.

#ifndef KESTREL_CHANNEL_SCREENED_DISPATCH_H_
#define KESTREL_CHANNEL_SCREENED_DISPATCH_H_

#include <COS/CosNotifyComm.hh>
#include <omniORB4/callHandle.h>

namespace kestrel {

// Handles push_structured_event from another process: reads the event
// through the screen and calls servant's push_structured_event with it.
// Answers false, having done nothing, for any other request, a call from
// this process, or a servant that is no StructuredPushConsumer.
bool DispatchScreenedPush(omniServant* servant, omniCallHandle& handle);

// Handles the QoS and admin-property operations, whose first argument is a
// property sequence, for a servant that implements none of them: reads the
// properties through the screen and raises CORBA::NO_IMPLEMENT. Answers
// false, having done nothing, for any other request or a call from this
// process.
bool RefuseScreenedPropertyRequest(omniServant* servant, omniCallHandle& handle);

}  // namespace kestrel

#endif  // KESTREL_CHANNEL_SCREENED_DISPATCH_H_
