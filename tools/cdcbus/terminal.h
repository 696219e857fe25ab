// A serial child offered as a Linux pseudo-terminal: what a program writes
// to the slave goes out through the child's function driver, what the
// driver reads comes out there. The pair is raw (no echo, no line editing).
// The program keeps a slave descriptor of its own, so the terminal stays
// usable while no program has it open.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cdc_client.h"

namespace cdcbus {

class terminal {
 public:
    // nullptr and the reason in *error when no pseudo-terminal can be had.
    static std::unique_ptr<terminal> create(std::string* error);
    ~terminal();
    terminal(const terminal&) = delete;
    terminal& operator=(const terminal&) = delete;

    const std::string& path() const { return path_; }
    // Connects the driver's reads and writes; detach() undoes it and waits
    // for a write being sent. The driver must outlive the attachment.
    void attach(function_drivers::cdc_client* driver);
    void detach();

 private:
    terminal(int master, int slave, int wake, std::string path);
    void deliver(const uint8_t* data, size_t bytes);
    void run();

    // Unread device data beyond this is dropped, oldest first, as a UART's
    // buffer overflows.
    static constexpr size_t backlog = 64 * 1024;

    const int master_;
    const int slave_;
    const int wake_;  // eventfd: output queued or stopping
    const std::string path_;
    std::mutex lock_;
    std::vector<uint8_t> output_;  // guarded by lock_
    bool stopping_ = false;        // guarded by lock_
    std::mutex driver_lock_;
    function_drivers::cdc_client* driver_ = nullptr;  // guarded by driver_lock_
    std::thread thread_;
};

}  // namespace cdcbus
