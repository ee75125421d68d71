#include "pkg_test_util.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace pkgtest {

json_cursor cursor_over(std::string_view text) {
    return json_cursor{reinterpret_cast<const uint8_t*>(text.data()), static_cast<uint32_t>(text.size()), 0, nullptr, 0};
}

std::string corpora_dir() { return QOR_CORPORA_DIR; }

std::string corpus_file(const std::string& relative) {
    std::ifstream in(corpora_dir() + "/" + relative, std::ios::binary);
    EXPECT_TRUE(in.good()) << "cannot read " << corpora_dir() << "/" << relative;
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

std::string from_hex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

}  // namespace pkgtest
