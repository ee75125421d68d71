// The install command run in process with its output captured, and an
// ordered search of that output, for the tests of the command.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "install_command.h"
#include "test_machine.h"

namespace insttest {

struct command_result {
    int status;
    std::string output;
};

// install_command_main with "install" and `args`.
inline command_result run_install(std::vector<std::string> args) {
    args.insert(args.begin(), "install");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    command_result r;
    r.status = qortest::run_captured(&r.output, [&] {
        return install_command_main(static_cast<int>(args.size()), argv.data());
    });
    return r;
}

// True when every text stands in `output` in the order given.
inline ::testing::AssertionResult in_order(const std::string& output, const std::vector<std::string>& texts) {
    size_t at = 0;
    for (const std::string& t : texts) {
        size_t found = output.find(t, at);
        if (found == std::string::npos) return ::testing::AssertionFailure() << "no \"" << t << "\" in order in:\n" << output;
        at = found + t.size();
    }
    return ::testing::AssertionSuccess();
}

}  // namespace insttest
