// The framework's umbrella header.
#pragma once

#include "ntddk.h"
#include "wdftypes.h"
#include "wdfobject.h"
#include "wdfdriver.h"
#include "wdfcollection.h"
#include "wdfsync.h"
#include "wdfstring.h"
#include "wdfregistry.h"
#include "wdfmemory.h"
#include "wdfchildlist.h"
#include "wdfdevice.h"
#include "wdfrequest.h"
#include "wdfiotarget.h"
