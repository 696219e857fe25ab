// The framework tests' small bus driver, built into this program as well: its
// PDOs carry the stand-in bus interface.
#include "tests/wdf/test_bus_driver.cpp"
