// The event record's way into and out of a structured event's body.
//
// The record type, its type codes and its CDR and any operators are the ones
// omniidl generates from kestrel.idl; these functions add only what those
// operators leave out: omniORB crashes when it marshals a null string member,
// and its generated extraction raises, and loses the half-read record, when a
// body ends early or is malformed.
//
// A record or an any must not be used from two threads at once. Extraction
// caches the decoded record in the any, so it changes the any it reads.

#ifndef KESTREL_CHANNEL_EVENT_RECORD_H_
#define KESTREL_CHANNEL_EVENT_RECORD_H_

#include <omniORB4/CORBA.h>

#include "kestrel.hh"

namespace kestrel {

// Copies text into member; a null text becomes the empty string, so a member
// set this way never holds null.
void SetRecordText(CORBA::String_member& member, const char* text);

// Replaces body's content with a copy of record. Members that hold null are
// inserted as empty strings; record itself is left as it is.
void InsertRecord(CORBA::Any& body, const Kestrel::EventData& record);

// The record that body holds, or null when body holds another type, nothing,
// or a body that ends early or is malformed. Never raises; an allocation
// failure answers null with errno set to ENOMEM.
// The record belongs to body and lives until body is changed or destroyed;
// a second call on the same body answers the same pointer, and so does the
// generated operator>>=.
// REQUIRES: the process ORB is initialised (strings are decoded through its
// code sets).
const Kestrel::EventData* ExtractRecord(const CORBA::Any& body);

}  // namespace kestrel

#endif  // KESTREL_CHANNEL_EVENT_RECORD_H_
