// The two test facilities of the hosted machine: the fault hook and the
// capture of descriptor 1.
#include <gtest/gtest.h>

#include "hosted.h"
#include "qor.h"
#include "qor_print.h"
#include "test_machine.h"

TEST(Seam, FaultHookFailsTheKthUseOnly) {
    qortest::temp_machine m;
    hosted::fault_add(qor::SYS_MKDIR, 2, -77);
    EXPECT_EQ(qor::mkdir("RAM:/a"), 0);
    EXPECT_EQ(qor::mkdir("RAM:/b"), -77);
    EXPECT_FALSE(qortest::host_path_exists(m.media("b"))) << "a faulted call does nothing";
    EXPECT_EQ(qor::mkdir("RAM:/c"), 0);

    hosted::fault_add(qor::SYS_STREAM_WRITE, 1, 2, -1);
    long h = qor::stream_begin("RAM:/s");
    EXPECT_EQ(qor::stream_write(h, "abcdef", 6), 2);
    EXPECT_EQ(qor::stream_write(h, "abcdef", 6), 2) << "times < 0 keeps failing";
    qor::stream_end(h);
}

TEST(Seam, CaptureKeepsWholeLines) {
    hosted::capture_begin();
    qor::print("line %d\n", 1);
    qor::print_text("line 2\n");
    EXPECT_EQ(hosted::capture_end(), "line 1\nline 2\n");

    // Lines around the stack buffer's size and far beyond it go out whole, in
    // one write each.
    for (size_t size : {qor::PRINT_BUFFER_SIZE - 2, qor::PRINT_BUFFER_SIZE - 1, qor::PRINT_BUFFER_SIZE, size_t{3000},
                        size_t{70000}}) {
        std::string text(size - 1, 'x');
        hosted::call_counts_reset();
        hosted::capture_begin();
        EXPECT_EQ(qor::print("%s\n", text.c_str()), static_cast<int>(size));
        EXPECT_EQ(hosted::capture_end(), text + "\n") << size;
        EXPECT_EQ(hosted::call_count(qor::SYS_WRITE), 1) << size;
    }
}
