#include "scenario.h"

#include "cdcbus.h"
#include "sim/host.h"
#include "sim/kernel.h"

namespace cdcbus {

int run_scenario(const options& opts, FILE* out, FILE* err) {
    sim::host host;
    sim::clock_use_virtual(false);
    for (const auto& file : opts.reg_files) {
        std::string error;
        if (!host.registry().load_reg_file(file, &error)) {
            fprintf(err, "cdcbus: %s\n", error.c_str());
            return 2;
        }
    }
    if (opts.debug_level) {
        host.registry().set_dword(sim::host::parameters_key(), "DebugLevel", *opts.debug_level);
    }
    if (opts.control_device) {
        host.registry().set_dword(sim::host::parameters_key(), "UseControlDevice", 1);
    }

    sim::debugger_mirror(out);
    int exit_status = 0;
    NTSTATUS status = host.load_driver(driver_image_path());
    if (!NT_SUCCESS(status)) {
        sim::debugger_mirror(nullptr);
        fprintf(out, "driver load failed 0x%08X\n", static_cast<unsigned>(status));
        return 1;
    }
    if (opts.root_device) {
        sim::device_stack_config root;
        root.enumerator = "ROOT";
        root.device_id = "CDCBUS";
        root.instance_id = "0000";
        root.description = "CDC bus control device";
        sim::device_stack& stack = host.add_device(root);
        if (!NT_SUCCESS(stack.add_status())) {
            exit_status = 1;
        }
    }
    host.unload_driver();
    sim::debugger_mirror(nullptr);

    for (const auto& stack : host.stacks()) {
        fprintf(out, "device %s\\%s\\%s: add status 0x%08X\n", stack->config().enumerator.c_str(),
                stack->config().device_id.c_str(), stack->config().instance_id.c_str(),
                static_cast<unsigned>(stack->add_status()));
    }
    return exit_status;
}

}  // namespace cdcbus
