// An object that breaks the seam on purpose, for the seam check's own test:
// beside calls the programs may make, it reads the host's environment, allocates with
// new and calls mbedTLS outside the TLS code.
#include <mbedtls/ssl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "qor.h"

void planted_local(char* out) { out[0] = 0; }

const char* planted_calls(char* out, size_t len, mbedtls_ssl_context* ssl) {
    memcpy(out, "seam", len < 4 ? len : 4);
    snprintf(out, len, "%d", 1);
    qor::write(1, out, strlen(out));
    planted_local(out);
    mbedtls_ssl_init(ssl);
    return getenv(out);
}

int* planted_allocation() { return new int(7); }
