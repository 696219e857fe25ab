// Runs the program in-process and collects what it printed.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "cdcbus.h"

namespace cdcbus_test {

struct result {
    int status;
    std::string out;
    std::string err;
};

inline std::string read_all(FILE* f) {
    std::string text;
    rewind(f);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0) text.append(buf, n);
    return text;
}

inline result run(const std::vector<std::string>& args) {
    FILE* out = tmpfile();
    FILE* err = tmpfile();
    result r;
    r.status = cdcbus::run(args, out, err);
    r.out = read_all(out);
    r.err = read_all(err);
    fclose(out);
    fclose(err);
    return r;
}

inline std::string write_temp(const std::string& name, const std::string& text) {
    std::string path = ::testing::TempDir() + name;
    std::ofstream(path) << text;
    return path;
}

inline bool contains(const std::string& text, const std::string& line) { return text.find(line) != std::string::npos; }

inline std::string descriptors(const char* name) {
    return std::string(CDC_SOURCE_DIR) + "/devices/descriptors/" + name;
}

}  // namespace cdcbus_test
