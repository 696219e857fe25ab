// USB 2.0 descriptor records: the same byte-packed records as usbspec.h.
#pragma once

#include "usb100.h"
