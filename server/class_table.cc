#include "server/class_table.h"

#include "consumer/notification_consumer.h"
#include "kestrel/notification.h"
#include "supplier/notification_supplier.h"

namespace kestrel {

const ClassEntry kClassTable[] = {
    {&CLSID_NotificationConsumer, CreateNotificationConsumer,
     "Tarnwell Networks System Notification Consumer",
     "Tarnwell Networks System Notification Consumer.1",
     "Tarnwell Networks System Notification Consumer"},
    {&CLSID_NotificationSupplier, CreateNotificationSupplier,
     "Tarnwell Networks System Notification Supplier",
     "Tarnwell Networks System Notification Supplier.1",
     "Tarnwell Networks System Notification Supplier"},
};

const size_t kClassCount = sizeof kClassTable / sizeof kClassTable[0];

const ClassEntry* FindClass(const CLSID& clsid) {
  for (size_t i = 0; i < kClassCount; ++i) {
    if (IsEqualGUID(*kClassTable[i].clsid, clsid)) return &kClassTable[i];
  }
  return nullptr;
}

}  // namespace kestrel
