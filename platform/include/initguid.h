// Makes DEFINE_GUID define its GUID in the one source that includes this.
// The platform's DEFINE_GUID always defines a constant of the source's own,
// so there is nothing to switch.
#pragma once

#include "ntdef.h"
