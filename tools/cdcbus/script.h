// Scenario scripts: one action a line, as a person acts on the devices.
//
//   plug modem | plug FILE [at LOCATION]
//   open CHILD | close CHILD
//   write CHILD TEXT | write CHILD *N
//   device-send CHILD TEXT
//   expect CHILD TEXT
//   line-coding CHILD BAUD DATABITS PARITY STOPBITS
//   control-lines CHILD dtr|nodtr rts|norts
//   class CHILD in|out REQUEST VALUE [LENGTH|TEXT]
//   notify CHILD HEX
//   fault CHILD in|out|notify stall|error|hang|short N|gone
//   purge CHILD in|out | restart CHILD in|out | reset CHILD
//   unplug | surprise-remove
//   replug [at LOCATION]
//   sleep | resume | idle CHILD
//
// '#' starts a comment (outside TEXT). CHILD is a 0-based index in the order
// children were reported, or a device ID. TEXT is double-quoted with the
// escapes \r \n \t \\ \" \xHH. Numbers are decimal or 0x hex.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "usb/usb_descriptors.h"

namespace cdcbus {

struct action {
    enum class kind {
        plug,
        open,
        close,
        write,
        device_send,
        expect,
        line_coding,
        control_lines,
        class_request,
        notify,
        fault,
        purge,
        restart,
        reset,
        unplug,
        surprise_remove,
        replug,  // the device last unplugged or surprise-removed comes back
        sleep,
        resume,
        idle,          // the USB function device serving the child idles out
        serial_state,  // the built-in demonstration's modem-status change
    };
    kind type = kind::plug;
    unsigned line = 0;
    std::string source;  // the line as written, for messages

    std::string child;           // index or device ID
    std::vector<uint8_t> bytes;  // write, device-send, expect, notify, class OUT data
    bool in = false;             // class, purge, restart: the IN direction
    bool have_data = false;      // class: a LENGTH or TEXT was given

    // plug, replug
    bool modem = false;
    std::string file;
    std::string location;
    sim::usb::descriptor_set descriptors;

    // line-coding
    uint32_t baud = 0;
    uint8_t data_bits = 0;
    char parity = 'N';
    double stop_bits = 1;

    // control-lines
    bool dtr = false, rts = false;

    // class
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t length = 0;

    // fault
    std::string pipe;        // "in", "out", "notify"
    std::string fault_kind;  // "stall", "error", "hang", "short", "gone"
    size_t short_bytes = 0;

    // serial_state
    uint16_t state_bits = 0;
};

struct parse_result {
    std::vector<action> actions;
    std::string error;  // "line N: ..." when the script is refused
    bool ok() const { return error.empty(); }
};

// Parses a whole script; FILEs are read now, relative paths first as given,
// then beside the script (base_dir).
parse_result parse_script(const std::string& text, const std::string& base_dir = "");

// TEXT as the script and the summary write it: printable ASCII as is, the
// rest escaped.
std::string escape_text(const std::vector<uint8_t>& bytes);
std::string hex_bytes(const std::vector<uint8_t>& bytes);

}  // namespace cdcbus
