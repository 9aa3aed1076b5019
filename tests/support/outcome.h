#ifndef TESTS_SUPPORT_OUTCOME_H
#define TESTS_SUPPORT_OUTCOME_H

#include <exception>
#include <functional>
#include <string>

namespace test_support {

// What a call gave: its bytes, or the text of what it threw (a standard exception or the
// library's const char*).
struct Outcome {
    std::string bytes;
    std::string error;
    bool operator==(const Outcome& o) const { return bytes == o.bytes && error == o.error; }
};

inline Outcome Outcomes(const std::function<std::string()>& call) {
    Outcome o;
    try {
        o.bytes = call();
    } catch (const std::exception& e) {
        o.error = e.what();
    } catch (const char* text) {
        o.error = text;
    }
    return o;
}

}  // namespace test_support

#endif
