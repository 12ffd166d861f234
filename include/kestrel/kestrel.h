// Kestrel: everything a client needs, in one include.
#ifndef KESTREL_KESTREL_H_
#define KESTREL_KESTREL_H_

#include "kestrel/com.h"
#include "kestrel/result_codes.h"
#include "kestrel/notification.h"
#include "kestrel/server.h"
#include "kestrel/activation.h"

#endif  // KESTREL_KESTREL_H_
