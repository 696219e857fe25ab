// USB client library: descriptor parsing and request-building helpers. The
// driver leaves both to the framework, so the platform declares none of them.
#pragma once

#include "usb.h"
