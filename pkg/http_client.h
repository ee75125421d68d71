// The package core's HTTP/1.1 client: one GET per request over the host's
// TCP service, wrapped in TLS for https:// URLs, with redirects followed and
// the body streamed to a sink. Everything is polled; nothing is allocated.
#pragma once

#include <cstdint>

#include "http_response.h"

// Redirects followed before a request gives up.
constexpr int HTTP_MAX_REDIRECTS = 5;

// Fetches `url`, following redirects, handing the body to `sink`. 0 with
// the body byte count in `*count`; -1 when it failed (reported; a missing
// URL fails silently).
int pkg_http_get_stream(const char* url, pkg_body_sink sink, void* context, uint64_t* count);

// One request without following redirects (HTTPS gets one retry while the
// sink has not yet accepted a byte). 0: body delivered, count stored.
// 1: redirected; the absolute target is in `redirect` (HTTP_URL_SIZE bytes),
// nothing was delivered. -1: failed, reported.
int pkg_http_get_stream_once(const char* url, pkg_body_sink sink, void* context, uint64_t* count,
                             char* redirect);
