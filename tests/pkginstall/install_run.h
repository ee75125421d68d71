// The install command run in process with an argument list, its standard
// output captured: for the tests and the fault sweep that drive it.
#pragma once

#include <string>
#include <vector>

#include "install_command.h"
#include "test_machine.h"

namespace insttest {

// install_command_main with "install" and `args`: its status.
inline int run_install_command(const std::vector<std::string>& args, std::string* output) {
    std::vector<std::string> all = args;
    all.insert(all.begin(), "install");
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    return qortest::run_captured(output, [&] { return install_command_main(static_cast<int>(all.size()), argv.data()); });
}

struct command_result {
    int status;
    std::string output;
};

// The same with the status and output together.
inline command_result run_install(const std::vector<std::string>& args) {
    command_result r;
    r.status = run_install_command(args, &r.output);
    return r;
}

}  // namespace insttest
