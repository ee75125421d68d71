// The extract command's self-description.
#include "qor_meta.h"

QOR_COMMAND_RECORD(qor_extract_command_record, "Extract a TAR or TAR.GZ archive into a directory.",
                   "extract /archive.tar.gz /out");

static_assert(sizeof qor_extract_command_record == 88);
