// The package index parser: index.json bytes into a package_index, all or
// nothing. The document is one of
//   [ package, ... ]
//   { "packages": [ package, ... ], ... }
//   { "packages": { "name": package, ... }, ... }
// optionally preceded by whitespace, a UTF-8 byte order mark and an HTTP
// response header block (a body saved together with its headers).
#include <cstddef>
#include <cstring>

#include "package_index.h"
#include "qor_print.h"

namespace {

const uint8_t UTF8_BOM[3] = {0xEF, 0xBB, 0xBF};

// Which keys a package or release object carried (possibly as empty text).
struct seen_keys {
    bool name;
    bool version;
    bool url;
    bool sha256;
};

// The releases of one package object, in document order.
struct release_table {
    package_entry releases[PKG_MAX_RELEASES];
    int32_t count;
};

bool has_text(const char* s) { return s && s[0]; }

// What a diagnostic calls the document: `label` when it has text, else
// `generic`.
const char* label_or(const char* label, const char* generic) { return has_text(label) ? label : generic; }

// Whether the members every release needs were all present.
bool has_release_fields(const seen_keys& seen) { return seen.version && seen.url && seen.sha256; }

// Copies `src` into a field of `size` bytes; -1 when it does not fit.
int copy_text(char* dst, uint32_t size, const char* src) {
    size_t n = strlen(src);
    if (n >= size) return -1;
    memcpy(dst, src, n + 1);
    return 0;
}

// Advances past whitespace, a byte order mark and whitespace again.
void skip_ws_bom_ws(json_cursor* c) {
    idx_skip_ws(c);
    if (c->len - c->pos >= 3 && memcmp(c->data + c->pos, UTF8_BOM, 3) == 0) c->pos += 3;
    idx_skip_ws(c);
}

// The offset just past the first occurrence of `pattern` at or after `pos`,
// or 0 when there is none.
uint32_t find_past(const uint8_t* p, uint32_t len, uint32_t pos, const char* pattern) {
    uint32_t n = static_cast<uint32_t>(strlen(pattern));
    for (; len - pos >= n; pos++)
        if (memcmp(p + pos, pattern, n) == 0) return pos + n;
    return 0;
}

// Prints the line for a document with nothing but leading material.
void report_empty(const char* label) { qor::print("install: %s is empty\n", label_or(label, "package index response")); }

// Finds where the JSON text starts: past whitespace, a byte order mark and
// an HTTP header block (RFC 9112: up to the first empty line). 0 with
// `*start` set, or -1 after reporting an empty or malformed document.
int skip_leading_material(const uint8_t* p, uint32_t len, const char* label, uint32_t* start) {
    json_cursor whole{p, len, 0, nullptr, 0};
    skip_ws_bom_ws(&whole);
    if (whole.pos == len) {
        report_empty(label);
        return -1;
    }
    if (len - whole.pos >= 5 && memcmp(p + whole.pos, "HTTP/", 5) == 0) {
        uint32_t body = find_past(p, len, whole.pos, "\r\n\r\n");
        if (body == 0) body = find_past(p, len, whole.pos, "\n\n");
        if (body == 0) {
            qor::print("install: malformed HTTP headers in %s\n", label_or(label, "index response"));
            idx_debug_dump_prefix(p + whole.pos, len - whole.pos);
            return -1;
        }
        whole.pos = body;
        skip_ws_bom_ws(&whole);
        if (whole.pos == len) {
            report_empty(label);
            return -1;
        }
    }
    *start = whole.pos;
    return 0;
}

// Opens an object at `pos`: `{` and whitespace. 0 when a member follows; -1
// when `pos` is not at `{` (`not_object`) or the object is `{}`
// (`empty_object`, offset just past the `}`).
int open_nonempty_object(json_cursor* c, const char* not_object, const char* empty_object) {
    int more = idx_open_container(c, '{', '}', not_object);
    if (more == 0) return idx_fail(c, empty_object, c->pos);
    return more < 0 ? -1 : 0;
}

// Reads an object member's key (at most IDX_KEY_SIZE bytes with its NUL)
// and the `:` after it.
int read_member_key(json_cursor* c, char* key, const char* colon_message) {
    if (idx_parse_string(c, key, IDX_KEY_SIZE) != 0) return -1;
    return idx_expect_colon(c, colon_message);
}

// A text member that packages and releases share: the field it fills and,
// for a required one, the flag saying it was present.
struct text_member {
    const char* key;
    size_t offset;  // of the field in package_entry
    uint32_t size;
    bool seen_keys::*seen;  // nullptr when optional
};

const text_member TEXT_MEMBERS[] = {
    {"version", offsetof(package_entry, version), PKG_VERSION_SIZE, &seen_keys::version},
    {"url", offsetof(package_entry, url), PKG_URL_SIZE, &seen_keys::url},
    {"sha256", offsetof(package_entry, sha256), PKG_SHA256_HEX_SIZE, &seen_keys::sha256},
    {"install_dir", offsetof(package_entry, install_dir), PKG_INSTALL_DIR_SIZE, nullptr},
    {"target_dir", offsetof(package_entry, install_dir), PKG_INSTALL_DIR_SIZE, nullptr},
    {"install_name", offsetof(package_entry, install_name), PKG_INSTALL_NAME_SIZE, nullptr},
    {"target_name", offsetof(package_entry, install_name), PKG_INSTALL_NAME_SIZE, nullptr},
};

// Parses the value of member `key` into `e` when packages and releases
// share the key; skips the value of any other key.
int parse_shared_member(json_cursor* c, const char* key, package_entry* e, seen_keys* seen) {
    for (const text_member& m : TEXT_MEMBERS) {
        if (strcmp(key, m.key) != 0) continue;
        if (idx_parse_string(c, reinterpret_cast<char*>(e) + m.offset, m.size) != 0) return -1;
        if (m.seen) seen->*m.seen = true;
        return 0;
    }
    if (strcmp(key, "system") == 0) return idx_parse_bool(c, &e->system);
    if (strcmp(key, "deps") == 0 || strcmp(key, "dependencies") == 0) return idx_parse_deps_array(c, e);
    return idx_skip_value(c, 0);
}

// Parses one release member ("version key": { ... }) of a versions object
// into the next slot of `table`.
int parse_release(json_cursor* c, release_table* table) {
    char key[IDX_KEY_SIZE];
    if (table->count >= PKG_MAX_RELEASES) return idx_fail(c, "too many versions for package", c->pos);
    if (read_member_key(c, key, "expected ':' after version key") != 0) return -1;
    package_entry* r = &table->releases[table->count];
    memset(r, 0, sizeof *r);
    seen_keys seen{};
    if (key[0]) {
        copy_text(r->version, sizeof r->version, key);  // same size as key: fits
        seen.version = true;
    }
    if (open_nonempty_object(c, "expected release object", "empty release object") != 0) return -1;
    int more = 1;
    for (; more == 1; more = idx_next_member(c, '}', "expected ',' or '}' in release object")) {
        char member[IDX_KEY_SIZE];
        if (read_member_key(c, member, "expected ':' after release key") != 0) return -1;
        if (parse_shared_member(c, member, r, &seen) != 0) return -1;
    }
    if (more < 0) return -1;
    if (!has_release_fields(seen)) return idx_fail(c, "release missing required fields", c->pos);
    table->count++;
    return 0;
}

// Parses a versions object at `pos`, appending its releases to `table`.
// Emptiness is judged by the caller once the whole package is read.
int parse_versions(json_cursor* c, release_table* table) {
    int more = idx_open_container(c, '{', '}', "expected versions object");
    while (more == 1) {
        if (parse_release(c, table) != 0) return -1;
        idx_skip_ws(c);
        // The 33rd release is refused at the comma that would announce it.
        if (idx_at(c, ',') && table->count >= PKG_MAX_RELEASES) return idx_fail(c, "too many versions for package", c->pos);
        more = idx_next_member(c, '}', "expected ',' or '}' in versions object");
    }
    return more;
}

// Makes `pkg` (whose own fields were parsed) the chosen release: the one
// whose version equals `latest`, else the first written. The package keeps
// its name and system flag, and its install_dir/install_name fill the
// release's empty ones.
int choose_release(json_cursor* c, package_entry* pkg, const release_table* table, const char* latest) {
    if (table->count == 0) return idx_fail(c, "versions object is empty", c->pos);
    int32_t chosen = 0;
    if (latest[0]) {
        chosen = -1;
        for (int32_t i = 0; i < table->count && chosen < 0; i++)
            if (strcmp(table->releases[i].version, latest) == 0) chosen = i;
        if (chosen < 0) return idx_fail(c, "latest version not found in versions object", c->pos);
    }
    package_entry result = table->releases[chosen];
    memcpy(result.name, pkg->name, sizeof result.name);
    if (!result.install_dir[0]) memcpy(result.install_dir, pkg->install_dir, sizeof result.install_dir);
    if (!result.install_name[0]) memcpy(result.install_name, pkg->install_name, sizeof result.install_name);
    result.system = pkg->system;
    *pkg = result;
    return 0;
}

// Fills an empty install_dir and install_name with their defaults.
void apply_defaults(package_entry* e) {
    if (!e->install_dir[0]) copy_text(e->install_dir, sizeof e->install_dir, PKG_DEFAULT_INSTALL_DIR);
    if (!e->install_name[0]) memcpy(e->install_name, e->name, sizeof e->install_name);
}

// Parses the package object at `pos` into the next free entry of `out`.
int append_package(json_cursor* c, package_index* out, const char* map_key) {
    if (out->count >= PKG_INDEX_MAX_PACKAGES) return idx_fail(c, "too many packages in index", c->pos);
    if (idx_parse_package_object(c, &out->packages[out->count], map_key) != 0) return -1;
    out->count++;
    return 0;
}

// Parses the object map form of `packages` at `pos` ('{'), appending one
// entry per member, named by its key unless the object names itself.
int parse_package_map(json_cursor* c, package_index* out) {
    int more = idx_open_container(c, '{', '}', "expected packages array or object map");
    for (; more == 1; more = idx_next_member(c, '}', "expected ',' or '}' in packages object map")) {
        char key[IDX_KEY_SIZE];
        if (read_member_key(c, key, "expected ':' after package map key") != 0) return -1;
        if (append_package(c, out, key) != 0) return -1;
    }
    return more;
}

// Parses the value of a root `packages` member: an array or an object map.
int parse_packages_value(json_cursor* c, package_index* out) {
    if (c->pos >= c->len) return idx_fail(c, "unexpected end while reading packages", c->pos);
    if (idx_at(c, '[')) return idx_parse_packages_array(c, out);
    if (idx_at(c, '{')) return parse_package_map(c, out);
    return idx_fail(c, "expected packages array or object map", c->pos);
}

// Parses the root object at `pos` ('{'): its `packages` members (a second
// one appends) and any other members, skipped.
int parse_root_object(json_cursor* c, package_index* out) {
    if (open_nonempty_object(c, "index root must be object or array", "empty index object") != 0) return -1;
    bool seen_packages = false;
    int more = 1;
    for (; more == 1; more = idx_next_member(c, '}', "expected ',' or '}' in root object")) {
        char key[IDX_KEY_SIZE];
        if (read_member_key(c, key, "expected ':' after index key") != 0) return -1;
        if (strcmp(key, "packages") == 0) {
            if (parse_packages_value(c, out) != 0) return -1;
            seen_packages = true;
        } else if (idx_skip_value(c, 0) != 0) {
            return -1;
        }
    }
    if (more < 0) return -1;
    if (!seen_packages) return idx_fail(c, "root object missing 'packages' entry", c->pos);
    return 0;
}

// Parses the root value and requires nothing but whitespace after it.
int parse_document(json_cursor* c, package_index* out) {
    int rc;
    if (idx_at(c, '['))
        rc = idx_parse_packages_array(c, out);
    else if (idx_at(c, '{'))
        rc = parse_root_object(c, out);
    else
        rc = idx_fail(c, "index root must be object or array", 0);
    if (rc != 0) return -1;
    idx_skip_ws(c);
    if (c->pos < c->len) return idx_fail(c, "trailing data after JSON document", c->pos);
    return 0;
}

// Checks that every name is non-empty and unique; prints the first offence.
int check_names(const package_index* index) {
    for (int32_t i = 0; i < index->count; i++) {
        const char* name = index->packages[i].name;
        if (!name[0]) {
            qor::print("install: package with empty name in index\n");
            return -1;
        }
        for (int32_t j = i + 1; j < index->count; j++) {
            if (strcmp(name, index->packages[j].name) == 0) {
                qor::print("install: duplicate package name in index: %s\n", name);
                return -1;
            }
        }
    }
    return 0;
}

// The parse-error line and the prefix of the JSON text.
void report_parse_failure(const char* label, const json_cursor* c) {
    unsigned long offset = c->error_offset < c->len ? c->error_offset : c->len;
    const char* message = c->error ? c->error : "unknown error";
    qor::print("install: %s parse error at offset %lu: %s\n", label_or(label, "index"), offset, message);
    idx_debug_dump_prefix(c->data, c->len);
}

}  // namespace

int idx_parse_index_bytes(package_index* out, const void* bytes, uint32_t len, const char* label) {
    if (!out || !bytes) return -1;
    memset(out, 0, sizeof *out);
    const uint8_t* p = static_cast<const uint8_t*>(bytes);
    uint32_t start = 0;
    if (skip_leading_material(p, len, label, &start) != 0) return -1;
    json_cursor c{p + start, len - start, 0, nullptr, 0};
    if (parse_document(&c, out) != 0 || check_names(out) != 0) {
        report_parse_failure(label, &c);
        return -1;
    }
    if (out->count == 0) {
        qor::print("install: %s is empty\n", label_or(label, "package index"));
        return -1;
    }
    return 0;
}

int idx_parse_packages_array(json_cursor* c, package_index* out) {
    int more = idx_open_container(c, '[', ']', "expected packages array");
    for (; more == 1; more = idx_next_member(c, ']', "expected ',' or ']' in packages array"))
        if (append_package(c, out, nullptr) != 0) return -1;
    return more;
}

int idx_parse_package_object(json_cursor* c, package_entry* out, const char* map_key) {
    memset(out, 0, sizeof *out);
    if (open_nonempty_object(c, "expected package object", "empty package object") != 0) return -1;
    seen_keys seen{};
    bool has_versions = false;
    char latest[PKG_VERSION_SIZE] = "";
    release_table table;
    table.count = 0;
    int more = 1;
    for (; more == 1; more = idx_next_member(c, '}', "expected ',' or '}' in package object")) {
        char key[IDX_KEY_SIZE];
        if (read_member_key(c, key, "expected ':' after package key") != 0) return -1;
        int rc;
        if (strcmp(key, "name") == 0) {
            rc = idx_parse_string(c, out->name, sizeof out->name);
            seen.name = true;
        } else if (strcmp(key, "latest") == 0) {
            rc = idx_parse_string(c, latest, sizeof latest);
        } else if (strcmp(key, "versions") == 0) {
            rc = parse_versions(c, &table);
            has_versions = true;
        } else {
            rc = parse_shared_member(c, key, out, &seen);
        }
        if (rc != 0) return -1;
    }
    if (more < 0) return -1;
    if (!seen.name && has_text(map_key)) {
        if (copy_text(out->name, sizeof out->name, map_key) != 0) return idx_fail(c, "string too long", c->pos);
        seen.name = true;
    }
    if (has_versions) {
        if (choose_release(c, out, &table, latest) != 0) return -1;
        if (!seen.name) return idx_fail(c, "package missing required fields", c->pos);
    } else if (!seen.name || !has_release_fields(seen)) {
        return idx_fail(c, "package missing required fields", c->pos);
    }
    apply_defaults(out);
    return 0;
}

int idx_parse_deps_array(json_cursor* c, package_entry* out) {
    int more = idx_open_container(c, '[', ']', "expected '[' for deps");
    for (; more == 1; more = idx_next_member(c, ']', "expected ',' or ']' in deps array")) {
        if (out->dep_count >= PKG_MAX_DEPS) return idx_fail(c, "too many dependencies", c->pos);
        if (idx_parse_string(c, out->deps[out->dep_count], PKG_NAME_SIZE) != 0) return -1;
        out->dep_count++;
    }
    return more;
}

void idx_debug_dump_prefix(const void* bytes, uint32_t len) {
    if (!bytes || len == 0) {
        qor::print("install: index payload prefix: <empty>\n");
        return;
    }
    static const char hex[] = "0123456789abcdef";
    constexpr uint32_t PREFIX_BYTES = 16;
    const uint8_t* p = static_cast<const uint8_t*>(bytes);
    uint32_t n = len < PREFIX_BYTES ? len : PREFIX_BYTES;
    char digits[PREFIX_BYTES * 3];
    char shown[PREFIX_BYTES + 1];
    for (uint32_t i = 0; i < n; i++) {
        digits[i * 3] = hex[p[i] >> 4];
        digits[i * 3 + 1] = hex[p[i] & 0x0F];
        digits[i * 3 + 2] = i + 1 < n ? ' ' : '\0';
        shown[i] = p[i] >= 0x20 && p[i] <= 0x7E ? static_cast<char>(p[i]) : '.';
    }
    shown[n] = '\0';
    qor::print("install: index payload prefix (%lu bytes): %s |%s|\n", static_cast<unsigned long>(n), digits, shown);
}
