// The install command's self-description.
#include "qor_meta.h"

QOR_COMMAND_RECORD(qor_install_command_record, "Install packages and their dependencies from the package index.",
                   "install hello");

static_assert(sizeof qor_install_command_record == 87);
