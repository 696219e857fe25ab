// Picks the function models for a device from what its descriptors offer,
// and gives it the strings its descriptors name.
//
// Functions are found in the first configuration as a host finds them: each
// interface association is one function; a CDC communication interface
// takes the interfaces its union descriptor names (without one, an ACM, ECM
// or OBEX interface takes the next unclaimed data interface); any other
// interface is a function on its own. A data interface no communication
// interface claims gets no model. Each function gets the model of its kind:
//
//   communication 2/2 (ACM)                  acm_modem
//   communication 2/6, 2/0x0C, 2/0x0B       loopback (ECM, EEM, OBEX)
//   smart card 0x0B                          iccd
//   application specific 0xFE/1 (DFU)        dfu
//   anything else with a data pair           loopback (vendor): bulk IN and
//                                            OUT, else interrupt IN and OUT
//
// A function with none of these (a vendor interface without a data pair, a
// CDC subclass with no data pipes) has no model: the base device's
// behaviour applies to it (class requests stall, OUT data queues).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "devices/models/acm_modem.h"
#include "devices/models/dfu.h"
#include "devices/models/function_model.h"
#include "devices/models/iccd.h"
#include "devices/models/loopback.h"

namespace sim::devices {

enum class model_kind { none, acm_modem, ecm, eem, obex, vendor, iccd, dfu };

struct planned_function {
    function_layout layout;
    model_kind kind = model_kind::none;
};

// The functions of the device's first configuration and the model each gets.
std::vector<planned_function> plan_functions(const usb::descriptor_set& descriptors);
// "USB Modem", "USB Ethernet (ECM)", ...; "" for none.
const char* function_name(model_kind kind);
std::unique_ptr<function_model> make_model(const planned_function& function);

// Adds a string in language 0x0409 for every index the descriptors name and
// the device lacks (strings it has are kept): manufacturer "Manufacturer
// <VID>", product from the functions, serial number and ECM MAC addresses
// ("02" and ten hex digits) derived from the location, so that a device at
// one port keeps them across runs, configuration "Configuration <n>",
// association and interface strings from the function. The LANGID table
// gains 0x0409 when it lacks it.
void add_missing_strings(usb::descriptor_set& descriptors, const std::vector<planned_function>& functions,
                         const std::string& location);

struct model_options {
    // The port the device is plugged into, as sim::plug_options has it.
    std::string location = "6&1a2b3c4d&0&1";
    bool add_strings = true;
};

// The device with one model per function. It converts to
// std::shared_ptr<sim::usb::device> for sim::host::plug.
std::shared_ptr<model_device> make_device(usb::descriptor_set descriptors, const model_options& options = {});

}  // namespace sim::devices
