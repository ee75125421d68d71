#include "pkg_test_util.h"

#include <gtest/gtest.h>

#include "test_machine.h"

namespace pkgtest {

json_cursor cursor_over(std::string_view text) {
    return json_cursor{reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()), 0, nullptr, 0};
}

std::string corpus_file(const std::string& relative) {
    std::string path = qortest::corpora_dir() + "/" + relative;
    EXPECT_TRUE(qortest::host_path_exists(path)) << "cannot read " << path;
    return qortest::read_host_file(path);
}

std::string from_hex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

}  // namespace pkgtest
