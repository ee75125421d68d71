// The install command's runner (install_run.h) and an ordered search of its
// output, for the tests of the command.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "install_run.h"

namespace insttest {

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
