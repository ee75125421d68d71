#include "qor_print.h"

int main() {
    qor::print("installer: the wizard is not built yet\n");
    return 1;
}
