#include "sim/symbols.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

namespace sim {
namespace {

// Reads the symbol table of an ELF64 image file (not the dynamic one: the
// image exports only its entry point).
bool find_symbol_value(const std::string& path, const std::string& name, uint64_t* value) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return false;
    // In one read: a character at a time took a tenth of a second for an
    // instrumented image.
    const std::streamsize size = in.tellg();
    if (size <= 0) return false;
    std::vector<char> file(static_cast<size_t>(size));
    in.seekg(0);
    if (!in.read(file.data(), size)) return false;
    if (file.size() < sizeof(Elf64_Ehdr)) return false;
    Elf64_Ehdr header;
    memcpy(&header, file.data(), sizeof(header));
    if (memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 || header.e_ident[EI_CLASS] != ELFCLASS64) return false;
    if (header.e_shoff == 0 || header.e_shoff + uint64_t(header.e_shnum) * sizeof(Elf64_Shdr) > file.size()) {
        return false;
    }
    std::vector<Elf64_Shdr> sections(header.e_shnum);
    memcpy(sections.data(), file.data() + header.e_shoff, sections.size() * sizeof(Elf64_Shdr));
    for (const auto& section : sections) {
        if (section.sh_type != SHT_SYMTAB || section.sh_link >= sections.size()) continue;
        const auto& strings = sections[section.sh_link];
        if (section.sh_offset + section.sh_size > file.size() || strings.sh_offset + strings.sh_size > file.size()) {
            return false;
        }
        size_t count = section.sh_size / sizeof(Elf64_Sym);
        for (size_t i = 0; i < count; i++) {
            Elf64_Sym symbol;
            memcpy(&symbol, file.data() + section.sh_offset + i * sizeof(Elf64_Sym), sizeof(symbol));
            if (symbol.st_name >= strings.sh_size || symbol.st_shndx == SHN_UNDEF) continue;
            const char* symbol_name = file.data() + strings.sh_offset + symbol.st_name;
            if (strnlen(symbol_name, strings.sh_size - symbol.st_name) == name.size() && name == symbol_name) {
                *value = symbol.st_value;
                return true;
            }
        }
    }
    return false;
}

}  // namespace

std::string image_in_use(const std::string& image) {
    const char* replacement = getenv("CDC_DRIVER_IMAGE");
    return replacement != nullptr && replacement[0] != '\0' ? std::string(replacement) : image;
}

void* image_symbol(const std::string& requested, const std::string& name) {
    const std::string image_path = image_in_use(requested);
    void* handle = dlopen(image_path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle == nullptr) return nullptr;
    link_map* map = nullptr;
    void* address = nullptr;
    uint64_t value = 0;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && find_symbol_value(image_path, name, &value)) {
        address = reinterpret_cast<void*>(map->l_addr + value);
    }
    dlclose(handle);  // drops only the reference RTLD_NOLOAD took
    return address;
}

}  // namespace sim
