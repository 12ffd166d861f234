// Servant-side dispatch of the requests that carry anys, through the type
// code screen (type_code_screen.h) instead of the unmarshalling that omniidl
// generates. A servant that receives such requests overrides _dispatch and
// asks these first:
//
//   CORBA::Boolean MyServant::_dispatch(omniCallHandle& handle) {
//     return DispatchScreenedPush(this, handle) ||
//            DispatchScreenedPropertyRequest(this, handle) ||
//            POA_CosNotifyChannelAdmin::StructuredProxyPushConsumer::_dispatch(handle);
//   }
//
// Calls from the same process arrive as values already built (omniORB
// calls the servant directly, without _dispatch), so they are left to the
// generated code.

#ifndef KESTREL_CHANNEL_SCREENED_DISPATCH_H_
#define KESTREL_CHANNEL_SCREENED_DISPATCH_H_

#include <COS/CosNotifyComm.hh>
#include <omniORB4/callHandle.h>

#include "channel/type_code_cache.h"

namespace kestrel {

// Handles push_structured_event from another process: reads the event
// through the screen and calls servant's push_structured_event with it.
// Answers false, having done nothing, for any other request, a call from
// this process, or a servant that is no StructuredPushConsumer.
// cache, when given, keeps the type codes of the events that arrive this
// way (see type_code_cache.h); it must outlive the call.
bool DispatchScreenedPush(omniServant* servant, omniCallHandle& handle,
                          TypeCodeCache* cache = nullptr);

// Handles, for a call from another process, the operations whose only
// argument is a property sequence: reads the properties through the screen,
// then
//   - set_qos and validate_qos call servant's QoSAdmin operation, set_admin
//     its AdminPropertiesAdmin one; UnsupportedQoS or UnsupportedAdmin, and
//     validate_qos's available ranges, go back to the caller as the
//     generated dispatch would send them;
//   - validate_event_qos, a proxy's, raises CORBA::NO_IMPLEMENT.
// Answers false, having done nothing, for any other request, a call from
// this process, or a servant that does not implement the interface the
// operation belongs to, so that the generated dispatch answers it.
bool DispatchScreenedPropertyRequest(omniServant* servant, omniCallHandle& handle);

// Handles a filter's match_structured and match from another process: reads
// the event through the screen and calls servant's operation with it.
// Answers false, having done nothing, for any other request, a call from
// this process, or a servant that is no CosNotifyFilter::Filter.
bool DispatchScreenedMatch(omniServant* servant, omniCallHandle& handle);

}  // namespace kestrel

#endif  // KESTREL_CHANNEL_SCREENED_DISPATCH_H_
