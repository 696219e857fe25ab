// Driver packages as Windows' PnP manager reads them: an INF file's models,
// install sections, services and registry defaults, and the choice of the
// best driver for a device's hardware and compatible IDs.
//
// Only what decides binding and what an install writes is modelled, for the
// x64 platform: [Version], [Strings] substitution, [Manufacturer] with its
// NTamd64 decoration, the models, the install section (.NTamd64, .NT or
// plain), its .Services (the service with SPSVCINST_ASSOCSERVICE is the
// function driver), .HW and .Wdf sections, service-install sections and
// AddReg sections with DWORD and string values.
//
// Ranking: a device's hardware ID matching a model's hardware ID ranks best
// (0x0000 + position), then a hardware ID matching a model's compatible ID
// (0x1000), a compatible ID matching a model's hardware ID (0x2000), a
// compatible ID matching a model's compatible ID (0x3000); the position adds
// the index of the device's ID (times 0x10) and of the model's ID. A lower
// rank wins; on a tie the INF installed first, then the earlier model line.
// IDs compare without regard to case.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

class registry;

struct inf_reg_value {
    std::string subkey;  // relative to HKR
    std::string name;
    uint32_t flags = 0;  // FLG_ADDREG_*
    bool dword = false;
    uint32_t dword_value = 0;
    std::string string_value;
    unsigned line = 0;
};

struct inf_model {
    std::string section;           // the decorated models section it is listed in
    unsigned line = 0;             // where
    std::string description;       // strings substituted
    std::string install;           // the install section named, undecorated
    std::vector<std::string> ids;  // hardware ID, then compatible IDs
    // From the install section as the x64 platform reads it.
    std::string service;  // the function driver's service; empty: none
    std::string kmdf_service;
    std::string kmdf_version;                    // KmdfLibraryVersion, e.g. "1.9"
    std::vector<inf_reg_value> hardware_values;  // .HW AddReg: the device's Device Parameters
};

struct inf_service {
    std::string name;
    uint32_t service_type = 0, start_type = 0, error_control = 0;
    std::string binary;
    std::vector<inf_reg_value> values;  // AddReg: relative to the service's key
};

class inf_file {
 public:
    // Parses an INF's text. On a malformed or incomplete package returns
    // nullopt with `error` set to "<source>:<line>: <what>".
    static std::optional<inf_file> parse(const std::string& text, const std::string& source, std::string* error);
    static std::optional<inf_file> load(const std::string& path, std::string* error);

    const std::string& source() const { return source_; }
    const std::string& name() const { return name_; }  // the file name without its directory
    const std::string& class_name() const { return class_; }
    const std::string& class_guid() const { return class_guid_; }
    const std::string& provider() const { return provider_; }
    const std::string& driver_ver() const { return driver_ver_; }
    const std::string& catalog() const { return catalog_; }
    const std::vector<inf_model>& models() const { return models_; }
    const std::vector<inf_service>& services() const { return services_; }

    // Adds a model by hand (the shorthand for a vendor INF naming one device).
    void add_model(inf_model model) { models_.push_back(std::move(model)); }

 private:
    std::string source_, name_;
    std::string class_, class_guid_, provider_, driver_ver_, catalog_;
    std::vector<inf_model> models_;
    std::vector<inf_service> services_;
};

// The best model for a device, and how it matched.
struct inf_match {
    std::string inf;  // the INF's name
    const inf_model* model = nullptr;
    std::string id;            // the device's ID that matched
    bool hardware_id = false;  // one of the device's hardware IDs (else a compatible ID)
    unsigned rank = 0;
};

class driver_store {
 public:
    // Installs a package: its services' registry values are written at once
    // (an existing value stays when FLG_ADDREG_NOCLOBBER says so).
    void install(inf_file inf, registry& reg);
    bool empty() const { return infs_.empty(); }
    const std::vector<inf_file>& infs() const { return infs_; }

    std::optional<inf_match> best_match(const std::vector<std::string>& hardware_ids,
                                        const std::vector<std::string>& compatible_ids) const;

 private:
    std::vector<inf_file> infs_;
};

// Writes AddReg values under `key` (HKR).
void write_inf_values(registry& reg, const std::string& key, const std::vector<inf_reg_value>& values);

// The built-in system package: usb.inf's model for USB\COMPOSITE, which
// loads the generic parent (service "usbccgp").
inf_file system_usb_inf();
constexpr const char* generic_parent_service = "usbccgp";

}  // namespace sim
