// A program with a window for the desktop tests: it presents one known
// frame, stays busy (not waiting for events) until a line arrives on its
// standard input, then reports every event it is given, one line each,
// until the window closes or the wait fails.
#include <cstdio>

#include "qor.h"

int main() {
    long h = qor::gui_attach("Probe", "window test");
    if (h < 0) {
        printf("attach failed\n");
        return 1;
    }
    qor::gui_begin(h);
    qor::gui_clear(h, 0x0000FF);
    qor::gui_rect block{100, 100, 200, 100, 0x00FF00};
    qor::gui_fill_rect(h, &block);
    qor::gui_rect corner{0, 0, 16, 16, 0xFF0000};
    qor::gui_fill_rect(h, &corner);
    qor::gui_present(h);
    printf("presented\n");
    fflush(stdout);
    char line[16];
    if (!fgets(line, sizeof line, stdin)) return 0;
    for (;;) {
        qor::gui_event e{};
        long rc = qor::gui_wait_event(h, &e);
        if (rc < 0) {
            printf("wait failed\n");
            return 0;
        }
        printf("event %d %d\n", static_cast<int>(e.type), static_cast<int>(e.code));
        fflush(stdout);
        if (e.type == qor::GUI_EVENT_CLOSE) return 0;
    }
}
