// The framework's umbrella header.
#pragma once

#include "ntddk.h"
#include "wdfchildlist.h"
#include "wdfcollection.h"
#include "wdfdevice.h"
#include "wdfdriver.h"
#include "wdfiotarget.h"
#include "wdfmemory.h"
#include "wdfobject.h"
#include "wdfregistry.h"
#include "wdfrequest.h"
#include "wdfstatus.h"
#include "wdfstring.h"
#include "wdfsync.h"
#include "wdftypes.h"
