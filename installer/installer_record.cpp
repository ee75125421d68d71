// The installer command's self-description.
#include "qor_meta.h"

QOR_COMMAND_RECORD(qor_installer_command_record, "QOR-OS graphical installer.", "installer");

static_assert(sizeof qor_installer_command_record == 47);
