#include "channel/event_record.h"

#include <cerrno>
#include <memory>
#include <new>

namespace kestrel {

namespace {

bool HoldsNullText(const Kestrel::EventData& record) {
  return record.mModule.in() == nullptr || record.mHost.in() == nullptr ||
         record.mDescription.in() == nullptr;
}

// The any keeps these three with the record it caches, as it keeps the
// generated ones, so the generated operators and ExtractRecord share one
// cached record whichever of them decoded it.
void MarshalRecord(cdrStream& stream, void* record) {
  *static_cast<Kestrel::EventData*>(record) >>= stream;
}

// The generated unmarshaller loses its record when decoding raises; this one
// frees it.
void UnmarshalRecord(cdrStream& stream, void*& record) {
  std::unique_ptr<Kestrel::EventData> decoded(new Kestrel::EventData);
  *decoded <<= stream;
  record = decoded.release();
}

void DeleteRecord(void* record) {
  delete static_cast<Kestrel::EventData*>(record);
}

}  // namespace

void SetRecordText(CORBA::String_member& member, const char* text) {
  member = static_cast<const char*>(text != nullptr ? text : "");
}

void InsertRecord(CORBA::Any& body, const Kestrel::EventData& record) {
  if (!HoldsNullText(record)) {
    body <<= record;
    return;
  }
  std::unique_ptr<Kestrel::EventData> mended(new Kestrel::EventData);
  SetRecordText(mended->mModule, record.mModule.in());
  SetRecordText(mended->mHost, record.mHost.in());
  mended->mSeverity = record.mSeverity;
  mended->mMessageCode = record.mMessageCode;
  SetRecordText(mended->mDescription, record.mDescription.in());
  body <<= mended.release();
}

const Kestrel::EventData* ExtractRecord(const CORBA::Any& body) {
  try {
    void* record = nullptr;
    if (body.PR_extract(Kestrel::_tc_EventData, UnmarshalRecord, MarshalRecord, DeleteRecord,
                        record)) {
      return static_cast<const Kestrel::EventData*>(record);
    }
  } catch (const CORBA::Exception&) {
  } catch (const omniORB::fatalException&) {
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
  }
  return nullptr;
}

}  // namespace kestrel
