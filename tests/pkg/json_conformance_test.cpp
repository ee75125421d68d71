// A public JSON parser test suite run through idx_skip_value, each file as a
// whole document: whitespace, one value, whitespace, end. y_ files must be
// accepted and n_ files rejected, except where the scanner's own rules say
// otherwise (listed below with the rule); i_ files are pinned to what the
// scanner gives today, so any change in behaviour shows.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "json_scan.h"
#include "pkg_test_util.h"
#include "test_machine.h"

namespace {

const char* const SUITE = "json/test_parsing";

// Rejecting n_ files the scanner accepts, and why.
const std::map<std::string, std::string> ACCEPTED_N_FILES = {
    {"n_string_backslash_00.json", "a skipped string accepts any byte after a backslash other than 'u'"},
    {"n_string_escape_x.json", "a skipped string accepts any byte after a backslash other than 'u'"},
    {"n_string_escaped_ctrl_char_tab.json", "a skipped string accepts any byte after a backslash other than 'u'"},
    {"n_string_escaped_emoji.json", "a skipped string accepts any byte after a backslash other than 'u'"},
    {"n_string_incomplete_surrogate_escape_invalid.json", "a skipped string accepts any byte after a backslash other than 'u'"},
    {"n_string_invalid_backslash_esc.json", "a skipped string accepts any byte after a backslash other than 'u'"},
    {"n_string_invalid_utf8_after_escape.json", "a skipped string accepts any byte after a backslash other than 'u'"},
    {"n_string_unicode_CapitalU.json", "a skipped string accepts any byte after a backslash other than 'u'"},
};

// i_ files the scanner rejects, with its message and the rule behind it.
struct rejected_i_file {
    const char* message;
    const char* rule;
};
const std::map<std::string, rejected_i_file> REJECTED_I_FILES = {
    {"i_string_UTF-16LE_with_BOM.json", {"invalid JSON value", "the text is UTF-8; a byte order mark is not whitespace"}},
    {"i_string_utf16BE_no_BOM.json", {"invalid JSON value", "the text is UTF-8"}},
    {"i_string_utf16LE_no_BOM.json", {"invalid JSON value", "the text is UTF-8"}},
    {"i_structure_500_nested_arrays.json", {"max depth exceeded", "containers nest at most 65 deep"}},
    {"i_structure_UTF-8_BOM_empty_object.json", {"invalid JSON value", "a byte order mark is not whitespace to the scanner"}},
};
// Every other i_ file is accepted: huge or tiny numbers (never computed),
// lone or broken surrogate escapes (each \u reads as '?'), and invalid or
// overlong UTF-8 (bytes 0x7F-0xFF pass unvalidated).

// Scans `text` as a whole document; nullptr when accepted, else the message.
const char* scan_document(const std::string& text) {
    json_cursor c = pkgtest::cursor_over(text);
    if (idx_skip_value(&c, 0) != 0) return c.error;
    idx_skip_ws(&c);
    return c.pos == c.len ? nullptr : "trailing data";
}

std::vector<std::string> suite_files() {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(qortest::corpora_dir() + "/" + SUITE)) {
        std::string name = e.path().filename().string();
        if (name.size() > 2 && name[1] == '_' && name.ends_with(".json")) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

TEST(JsonConformance, EveryFileGivesItsExpectedOutcome) {
    std::vector<std::string> names = suite_files();
    ASSERT_EQ(names.size(), 318u) << "the suite is incomplete";
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        const char* error = scan_document(pkgtest::corpus_file(std::string(SUITE) + "/" + name));
        switch (name[0]) {
        case 'y':
            EXPECT_EQ(error, nullptr) << error;
            break;
        case 'n':
            EXPECT_EQ(error == nullptr, ACCEPTED_N_FILES.contains(name)) << (error ? error : "accepted");
            break;
        case 'i': {
            auto rejected = REJECTED_I_FILES.find(name);
            if (rejected == REJECTED_I_FILES.end())
                EXPECT_EQ(error, nullptr) << error;
            else
                EXPECT_STREQ(error, rejected->second.message);
            break;
        }
        default:
            ADD_FAILURE() << "unexpected file name";
        }
    }
    // Every listed exception names a file of the suite.
    for (const auto& [name, reason] : ACCEPTED_N_FILES) EXPECT_TRUE(std::binary_search(names.begin(), names.end(), name)) << name;
    for (const auto& [name, rejected] : REJECTED_I_FILES) EXPECT_TRUE(std::binary_search(names.begin(), names.end(), name)) << name;
}

}  // namespace
