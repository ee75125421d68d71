// The install options: manifest and font directory reading, the option list
// and its keys.
#include <cstring>

#include "install_options.h"
#include "installer_fixture.h"

namespace qortest {
namespace {

TEST(manifest_line, first_word_blank_and_comment_lines) {
    struct {
        const char* line;
        int result;
        const char* name;
    } cases[] = {
        {"  base-utils   two more words  \t", 0, "base-utils"},
        {"\tnet", 0, "net"},
        {"pkg#1 # trailing", 0, "pkg#1"},
        {"", 1, ""},
        {" \t ", 1, ""},
        {"# comment", 1, ""},
        {"   # indented comment", 1, ""},
        {"abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyzabcdefghijk", 0,
         "abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyzabcdefghijk"},  // 63
        {"abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyzabcdefghijkl", -1, ""},  // 64
    };
    for (auto& c : cases) {
        char out[64] = "";
        EXPECT_EQ(parse_manifest_line(c.line, out), c.result) << '"' << c.line << '"';
        if (c.result == 0) {
            EXPECT_STREQ(out, c.name);
        }
    }
}

std::string numbered_names(int n) {
    std::string text;
    for (int i = 0; i < n; ++i) text += "p" + std::to_string(i) + "\n";
    return text;
}

class manifest_test : public ::testing::Test {
protected:
    int read(const std::string& text) {
        write_host_file(machine.media("installer/base.manifest"), text);
        return read_manifest_packages(names, &count);
    }
    temp_machine machine;
    char names[MAX_PACKAGES][NAME_SIZE] = {};
    int32_t count = -7;
};

TEST_F(manifest_test, files_that_load) {
    struct {
        std::string text;
        std::vector<std::string> names;
    } cases[] = {
        {"base\n\n  \n# comment\nnet extra words\n", {"base", "net"}},
        {"base\nlast-without-line-feed", {"base", "last-without-line-feed"}},
        {"base\r\nnet\r\n", {"base", "net"}},
        {"ba\rse\n", {"base"}},  // carriage returns vanish anywhere
        {"# only comments\n", {}},
        {"", {}},
        {"x" + std::string(157, ' ') + "y\n", {"x"}},  // 159 characters
    };
    for (auto& c : cases) {
        ASSERT_EQ(read(c.text), 0) << c.text;
        ASSERT_EQ(count, static_cast<int32_t>(c.names.size())) << c.text;
        for (size_t i = 0; i < c.names.size(); ++i) EXPECT_EQ(names[i], c.names[i]);
    }
    ASSERT_EQ(read(numbered_names(256)), 0);
    EXPECT_EQ(count, 256);
    EXPECT_STREQ(names[255], "p255");
}

TEST_F(manifest_test, failures_leave_the_count_alone) {
    const std::string failing[] = {
        numbered_names(257),
        "x" + std::string(158, ' ') + "y\n",  // 160 characters
        "ok\n" + std::string(64, 'n') + "\n",
        "ok\n" + std::string(64, 'n'),  // the pending last line too
    };
    for (const std::string& text : failing) {
        count = -7;
        EXPECT_EQ(read(text), -1) << text.size();
        EXPECT_EQ(count, -7);
    }
    std::filesystem::remove(machine.media("installer/base.manifest"));
    EXPECT_EQ(read_manifest_packages(names, &count), -1);
}

TEST_F(manifest_test, a_failed_read_fails_the_load) {
    write_host_file(machine.media("installer/base.manifest"), numbered_names(100));
    hosted::fault_add(qor::SYS_READ, 2, -5);
    EXPECT_EQ(read_manifest_packages(names, &count), -1);
}

class font_dir_test : public ::testing::Test {
protected:
    temp_machine machine;
    char names[MAX_FONTS][NAME_SIZE] = {};
    int32_t count = -7;
};

TEST_F(font_dir_test, regular_files_sorted_in_byte_order) {
    for (const char* f : {"b.psf", "A.psf", "a.psf", "sub/inner.psf"}) write_host_file(machine.media("fonts/") + f, "");
    ASSERT_EQ(read_directory_file_names(names, &count), 0);
    ASSERT_EQ(count, 3);
    EXPECT_STREQ(names[0], "A.psf");
    EXPECT_STREQ(names[1], "a.psf");
    EXPECT_STREQ(names[2], "b.psf");
}

TEST_F(font_dir_test, missing_directory_and_too_many_fonts) {
    EXPECT_EQ(read_directory_file_names(names, &count), -2);
    EXPECT_EQ(count, 0);
    for (int i = 0; i < 64; ++i) write_host_file(machine.media("fonts/f" + std::to_string(i)), "");
    ASSERT_EQ(read_directory_file_names(names, &count), 0);
    EXPECT_EQ(count, 64);
    write_host_file(machine.media("fonts/f64"), "");
    EXPECT_EQ(read_directory_file_names(names, &count), -1);
}

// An options step with n packages (all selected) and f fonts on the media.
class option_list_test : public ::testing::Test {
protected:
    void load(int packages, int fonts) {
        write_host_file(machine.media("installer/base.manifest"), numbered_names(packages));
        for (int i = 0; i < fonts; ++i) write_host_file(machine.media("fonts/f" + std::to_string(i)), "");
        installer_state_init(&state);
        state.step = STEP_OPTIONS;
        ASSERT_EQ(installer_prepare_options(&state), 0);
    }
    void press(int32_t code, int times = 1) {
        for (int i = 0; i < times; ++i) options_handle_key(&state, code);
    }
    temp_machine machine;
    installer_state state;
};

TEST_F(option_list_test, defaults_after_loading) {
    load(3, 2);
    EXPECT_EQ(state.package_count, 3);
    EXPECT_EQ(state.font_count, 2);
    EXPECT_TRUE(state.package_selected[0] && state.package_selected[2] && state.font_selected[1]);
    EXPECT_EQ(state.seed_icons, 1);
    EXPECT_EQ(state.seed_fonts, 0);
    EXPECT_EQ(state.seed_chibicc, 0);
    EXPECT_EQ(state.options_loaded, 1);
    EXPECT_EQ(option_row_total(&state), 7);
}

TEST_F(option_list_test, cursor_stops_on_the_continue_row_and_fonts_add_rows) {
    load(3, 2);
    press(qor::KEY_DOWN, 20);
    EXPECT_EQ(state.option_cursor, 6);
    press(qor::KEY_UP, 20);
    EXPECT_EQ(state.option_cursor, 0);
    press(qor::KEY_DOWN, 4);
    press(' ');  // fonts on
    EXPECT_EQ(state.seed_fonts, 1);
    EXPECT_EQ(option_row_total(&state), 9);
    press(qor::KEY_DOWN);
    press(13);  // first font off
    EXPECT_EQ(state.font_selected[0], 0);
    EXPECT_EQ(state.font_selected[1], 1);
}

TEST_F(option_list_test, toggles_of_each_row_kind) {
    load(3, 0);
    struct {
        int32_t row;
        int32_t* flag;  // nullptr: package row 1
    } rows[] = {{1, nullptr}, {3, &state.seed_icons}, {5, &state.seed_chibicc}};
    for (auto& r : rows) {
        state.option_cursor = r.row;
        int before = r.flag ? *r.flag : state.package_selected[1];
        press(13);
        EXPECT_NE(r.flag ? *r.flag : state.package_selected[1], before) << "row " << r.row;
    }
    state.option_cursor = 4;  // no fonts on the media: stays off
    press(' ');
    EXPECT_EQ(state.seed_fonts, 0);
}

TEST_F(option_list_test, scrolling_with_twenty_packages) {
    load(20, 0);
    press(qor::KEY_DOWN, 12);
    EXPECT_EQ(state.option_cursor, 12);
    EXPECT_EQ(state.option_scroll, 3);
    press(qor::KEY_UP, 10);
    EXPECT_EQ(state.option_cursor, 2);
    EXPECT_EQ(state.option_scroll, 2);
}

TEST_F(option_list_test, fonts_off_pulls_cursor_and_scroll_back) {
    load(3, 30);
    state.option_cursor = 4;
    press(' ');  // 30 font rows appear
    press(qor::KEY_DOWN, 40);
    EXPECT_EQ(state.option_cursor, 36);  // continue row of 37
    EXPECT_EQ(state.option_scroll, 27);
    state.option_cursor = 4;
    state.option_scroll = 27;
    press(' ');  // fonts off: 7 rows
    EXPECT_EQ(state.option_cursor, 4);
    EXPECT_EQ(state.option_scroll, 0);
    state.option_cursor = 30;  // out of range: pulled to the continue row
    options_ensure_cursor_visible(&state);
    EXPECT_EQ(state.option_cursor, 6);
}

TEST_F(option_list_test, ensure_visible_cases) {
    load(20, 0);  // 24 rows
    struct {
        int32_t cursor, scroll, cursor_after, scroll_after;
    } cases[] = {
        {-3, 5, 0, 0}, {30, 0, 23, 14}, {12, -1, 12, 3}, {5, -1, 5, 0}, {4, 8, 4, 4}, {15, 2, 15, 6}, {20, 20, 20, 14},
    };
    for (auto& c : cases) {
        state.option_cursor = c.cursor;
        state.option_scroll = c.scroll;
        options_ensure_cursor_visible(&state);
        EXPECT_EQ(state.option_cursor, c.cursor_after) << c.cursor << "," << c.scroll;
        EXPECT_EQ(state.option_scroll, c.scroll_after) << c.cursor << "," << c.scroll;
    }
}

TEST_F(option_list_test, toggle_all_continue_and_back) {
    load(3, 0);
    press('a');  // all selected: unselect all
    EXPECT_FALSE(state.package_selected[0] || state.package_selected[1] || state.package_selected[2]);
    press('I');  // nothing selected: stays, with a status
    EXPECT_EQ(state.step, STEP_OPTIONS);
    EXPECT_STREQ(state.status_text, "Select at least one package");
    press('A');
    EXPECT_TRUE(state.package_selected[0] && state.package_selected[1] && state.package_selected[2]);
    state.package_selected[1] = 0;
    press('a');  // one unselected: select all
    EXPECT_TRUE(state.package_selected[1]);
    press('b');
    EXPECT_EQ(state.step, STEP_DRIVE);
    state.step = STEP_OPTIONS;
    state.option_cursor = 6;
    press(10);  // line feed on the continue row
    EXPECT_EQ(state.step, STEP_CONFIRM);
}

TEST_F(option_list_test, load_failures) {
    installer_state_init(&state);
    EXPECT_EQ(installer_prepare_options(&state), -1);  // no manifest
    write_host_file(machine.media("installer/base.manifest"), "# nothing\n");
    EXPECT_EQ(installer_prepare_options(&state), -1);  // no names
    write_host_file(machine.media("installer/base.manifest"), "base\n");
    write_host_file(machine.media("fonts/f"), "");
    hosted::fault_add(qor::SYS_GETDENTS, 1, -1);
    EXPECT_EQ(installer_prepare_options(&state), -1);  // fonts unlistable
    EXPECT_EQ(state.options_loaded, 0);
}

}  // namespace
}  // namespace qortest
