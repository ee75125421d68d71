#include "install_command.h"

int main(int argc, char** argv) { return install_command_main(argc, argv); }
