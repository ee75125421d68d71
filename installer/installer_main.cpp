// The installer command: takes no arguments and has no help text.
#include "wizard.h"

int main() {
    installer_state state;
    return installer_run(&state);
}
