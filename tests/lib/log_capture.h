// Runs library code in a child process at log level 1 and reads back what it logged.
#pragma once

#include <functional>
#include <regex>
#include <string>

#include "lib/log.h"
#include "support/test_support.h"

struct Logged {
    std::string out;   // standard output
    std::string lines; // log lines with their time stamps removed
};

// Removes the "%x %X" stamp and its space from the start of every line.
inline std::string strip_log_stamps(const std::string &err) {
    static const std::regex stamp(R"((^|\n)\d\d/\d\d/\d\d \d\d:\d\d:\d\d )");
    return std::regex_replace(err, stamp, "$1");
}

inline Logged run_logged(const std::function<void()> &fn) {
    RunResult r = run_forked([&] {
        log_level.store(1);
        fn();
    });
    return {r.out, strip_log_stamps(r.err)};
}
