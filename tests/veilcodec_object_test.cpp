#include <gtest/gtest.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/run_process.h"

namespace {

using test_support::ProcessResult;
using test_support::run_process;

const std::set<std::string> kEntryPoints = {"vk_encode_string", "vk_decode_string",
                                            "vk_string_format"};

struct Symbol {
    std::string type, bind, visibility, section, name;
};

std::vector<std::vector<std::string>> output_lines(const std::vector<std::string>& argv) {
    ProcessResult r = run_process(argv);
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::vector<std::string>> lines;
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::vector<std::string> fields;
        std::string w;
        while (words >> w) {
            fields.push_back(w);
        }
        lines.push_back(fields);
    }
    return lines;
}

// readelf -sW: Num: Value Size Type Bind Vis Ndx Name
std::vector<Symbol> symbols() {
    std::vector<Symbol> result;
    for (const auto& f : output_lines({READELF, "-sW", VEILCODEC_OBJECT})) {
        if (f.size() == 8 && f[0].back() == ':' && f[0] != "Num:") {
            result.push_back({f[3], f[4], f[5], f[6], f[7]});
        }
    }
    return result;
}

bool sanitizer_hook(const std::string& name) {
    for (const char* prefix : {"__asan_", "__ubsan_", "__sanitizer_"}) {
        if (name.rfind(prefix, 0) == 0) {
            return true;
        }
    }
    return false;
}

TEST(VeilcodecObject, DefinesOnlyTheThreeHiddenEntryPoints) {
    std::set<std::string> global_functions;
    for (const Symbol& s : symbols()) {
        if (s.section == "UND") {
            continue;
        }
        if (s.bind != "LOCAL") {
            EXPECT_EQ(s.type, "FUNC") << s.name;
            EXPECT_EQ(s.bind, "GLOBAL") << s.name;
            EXPECT_EQ(s.visibility, "HIDDEN") << s.name;
            global_functions.insert(s.name);
        } else if (!SANITIZED) {
            // Instrumented builds add their own local constructors; shipped objects do not.
            EXPECT_NE(s.type, "FUNC") << s.name;
        }
    }
    EXPECT_EQ(global_functions, kEntryPoints);
}

TEST(VeilcodecObject, NeedsOnlyLibc) {
    const std::set<std::string> libc = {"time", "srand", "rand", "strlen"};
    int undefined = 0;
    for (const auto& f : output_lines({NM, "-u", VEILCODEC_OBJECT})) {
        if (f.size() != 2 || f[0] != "U") {
            continue;
        }
        ++undefined;
        EXPECT_TRUE(libc.count(f[1]) == 1 || (SANITIZED && sanitizer_hook(f[1]))) << f[1];
    }
    EXPECT_GE(undefined, 4);
}

TEST(VeilcodecObject, TextveilNeedsOnlyLibc) {
    if (SANITIZED) {
        GTEST_SKIP() << "sanitizer builds link their run-time libraries";
    }
    std::set<std::string> needed;
    for (const auto& f : output_lines({READELF, "-dW", std::string(TOOL_DIR) + "/textveil"})) {
        if (f.size() == 5 && f[1] == "(NEEDED)") {
            needed.insert(f[4]);
        }
    }
    EXPECT_EQ(needed, std::set<std::string>{"[libc.so.6]"});
}

}  // namespace
