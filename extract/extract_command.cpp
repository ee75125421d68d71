#include "extract_command.h"

#include "qor_print.h"

int install_embedded_extract_main(int, char**) {
    qor::print("extract: not built yet\n");
    return 1;
}
