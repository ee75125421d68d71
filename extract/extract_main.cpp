#include "extract_command.h"

int main(int argc, char** argv) { return install_embedded_extract_main(argc, argv); }
