// Function models: the behaviour behind a simulated device's descriptors.
//
// A model_device is one USB device (one sim::usb::device) carrying one
// function model per USB function it offers; a composite device with two ACM
// functions carries two modems. Traffic is routed to the function that owns
// it:
// - a class or vendor request addressed to an interface goes to the function
//   owning that interface (wIndex low byte), one addressed to an endpoint to
//   the function owning the endpoint; one addressed to the device goes to the
//   only function when there is one, and stalls on a composite device;
// - what the host writes to an OUT endpoint goes to the function whose data
//   OUT endpoint it is; an OUT endpoint no function claims queues for
//   take_out() as on the base device;
// - SET_CONFIGURATION reaches every function, SET_INTERFACE the owner of the
//   interface.
// A request nobody owns stalls, as the base device does.
//
// Models keep their own state under their own lock and never hold it while
// sending on an IN endpoint: sending completes host transfers on the calling
// thread, and a completion may submit the next transfer straight back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "usb/usb_device.h"

namespace sim::devices {

// Where one function lives in the configuration, as the models need it.
struct function_layout {
    std::vector<uint8_t> interfaces;  // every interface the function owns, in order
    uint8_t comm_interface = 0;       // the one class requests name; the only one of a single-interface function
    uint8_t data_interface = 0;       // equal to comm_interface when the function has one interface
    uint8_t interface_class = 0;      // of the communication interface's setting 0 (or the association)
    uint8_t subclass = 0;
    uint8_t protocol = 0;
    uint8_t notify_in = 0;  // interrupt IN of the communication interface; 0: none
    uint8_t data_in = 0;    // data endpoints (bulk, else an interrupt pair); 0: none
    uint8_t data_out = 0;
    // Class-specific descriptors of the communication interface's setting 0
    // (CDC functional descriptors, the DFU or smart-card class descriptor).
    std::vector<uint8_t> class_descriptors;
    uint8_t string_index = 0;  // the association's iFunction, else the interface's iInterface

    bool owns_interface(uint8_t number) const;
    // The first class-specific descriptor of the type (and CDC subtype, when
    // given) among class_descriptors; empty when there is none.
    std::vector<uint8_t> class_descriptor(uint8_t type, int subtype = -1) const;
};

class model_device;

class function_model {
 public:
    explicit function_model(function_layout layout);
    virtual ~function_model();
    function_model(const function_model&) = delete;
    function_model& operator=(const function_model&) = delete;

    const function_layout& layout() const { return layout_; }
    // "acm-modem", "loopback", "iccd", "dfu".
    virtual const char* kind() const = 0;

 protected:
    friend class model_device;

    // A class or vendor request routed here; the default stalls.
    virtual usb::control_reply on_control(const usb::setup_packet& setup, uint8_t* data);
    // What the host wrote to the function's data OUT endpoint.
    virtual int32_t on_out(uint8_t endpoint, const uint8_t* data, size_t length);
    virtual void on_configuration(uint8_t configuration_value);
    virtual void on_interface(uint8_t interface_number, uint8_t alternate_setting);

    // The device sends on one of the function's IN endpoints. Never call it
    // with the model's lock held.
    void send_in(uint8_t endpoint, std::vector<uint8_t> bytes);
    // Port resets and cycles the device has seen so far.
    uint32_t bus_resets() const;

    static usb::control_reply stall();
    static usb::control_reply ok(size_t length = 0);
    // Answers an IN request with the bytes, as much as the host asked for.
    static usb::control_reply reply_with(const usb::setup_packet& setup, uint8_t* data,
                                         const std::vector<uint8_t>& bytes);

 private:
    function_layout layout_;
    usb::device* device_ = nullptr;  // set once, when the model is added
};

class model_device : public usb::device {
 public:
    explicit model_device(usb::descriptor_set descriptors);
    ~model_device() override;

    // Adds a function before the device is plugged in.
    void add(std::unique_ptr<function_model> model);
    const std::vector<std::unique_ptr<function_model>>& functions() const { return functions_; }
    // The function owning the interface, or nullptr.
    function_model* function_at(uint8_t interface_number) const;
    // The index-th function of the model type, or nullptr.
    template <class T>
    T* find(size_t index = 0) const {
        for (const auto& f : functions_) {
            if (T* model = dynamic_cast<T*>(f.get())) {
                if (index-- == 0) return model;
            }
        }
        return nullptr;
    }

 protected:
    usb::control_reply handle_class_or_vendor(const usb::setup_packet& setup, uint8_t* data) override;
    int32_t on_out(uint8_t endpoint, const uint8_t* data, size_t length) override;
    void on_configuration(uint8_t configuration_value) override;
    void on_interface(uint8_t interface_number, uint8_t alternate_setting) override;

 private:
    function_model* owner_of_endpoint(uint8_t endpoint) const;

    std::vector<std::unique_ptr<function_model>> functions_;  // fixed once plugged
};

}  // namespace sim::devices
