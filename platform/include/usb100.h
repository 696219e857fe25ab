// USB 1.x descriptor records: the same byte-packed records as usbspec.h.
#pragma once

#include "usbspec.h"
