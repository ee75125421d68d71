// The package this program belongs to.
#include "qor_meta.h"

QOR_PACKAGE_RECORD(qor_package_record, "installer", "2");

static_assert(sizeof qor_package_record == 21);
