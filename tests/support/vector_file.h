#ifndef TESTS_SUPPORT_VECTOR_FILE_H
#define TESTS_SUPPORT_VECTOR_FILE_H

#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace test_support {

// One record of a NIST CAVP response file (or of the RFC vector files written the same way):
// its "Name = value" lines, bare words such as FAIL as names with an empty value, and the
// "[Name = value]" lines of the section it stands in.
struct VectorRecord {
    std::map<std::string, std::string> fields;
    std::map<std::string, std::string> section;

    bool has(const std::string& name) const { return fields.count(name) != 0; }
    const std::string& at(const std::string& name) const { return fields.at(name); }
};

inline std::string trim(const std::string& s) {
    const auto first = s.find_first_not_of(" \t\r");
    if (first == std::string::npos) {
        return "";
    }
    return s.substr(first, s.find_last_not_of(" \t\r") - first + 1);
}

// The records of the file at path, separated by blank lines; '#' starts a comment line.
inline std::vector<VectorRecord> read_vector_file(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        throw std::runtime_error("cannot open " + path);
    }
    std::vector<VectorRecord> records;
    std::map<std::string, std::string> section;
    VectorRecord current;
    auto flush = [&] {
        if (!current.fields.empty()) {
            current.section = section;
            records.push_back(current);
            current = VectorRecord{};
        }
    };
    std::string line;
    while (std::getline(in, line)) {
        line = trim(line);
        if (line.empty()) {
            flush();
            continue;
        }
        if (line[0] == '#') {
            continue;
        }
        const bool header = line.front() == '[' && line.back() == ']';
        const std::string body = header ? line.substr(1, line.size() - 2) : line;
        const auto eq = body.find('=');
        const std::string name = trim(body.substr(0, eq));
        const std::string value = eq == std::string::npos ? "" : trim(body.substr(eq + 1));
        if (header) {
            flush();
            section[name] = value;
        } else {
            current.fields[name] = value;
        }
    }
    flush();
    return records;
}

// The bytes of a hex string (either case; an odd last digit is an error).
inline std::string from_hex(const std::string& hex) {
    if (hex.size() % 2 != 0) {
        throw std::runtime_error("odd hex string " + hex);
    }
    std::string out(hex.size() / 2, '\0');
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<char>(std::stoi(hex.substr(2 * i, 2), nullptr, 16));
    }
    return out;
}

}  // namespace test_support

#endif
