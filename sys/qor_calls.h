// System-call numbers of the QOR-OS kernel and the fixed values that cross
// the call boundary. These numbers bind the call sites and the kernel alike;
// never renumber them.
#pragma once

#include <cstdint>

namespace qor {

enum call_number : long {
    SYS_WRITE = 1,
    SYS_READ = 3,
    SYS_OPEN = 4,
    SYS_CLOSE = 5,
    SYS_GETDENTS = 7,

    // Window services: each takes the window handle and at most one record.
    SYS_GUI_BEGIN = 10,
    SYS_GUI_CLEAR = 11,
    SYS_GUI_FILL_RECT = 12,
    SYS_GUI_DRAW_TEXT = 13,
    SYS_GUI_PRESENT = 14,
    SYS_GUI_WAIT_EVENT = 16,
    SYS_GUI_ATTACH = 17,
    SYS_GUI_GET_CONTENT_SIZE = 19,
    SYS_GUI_SET_FONT = 20,

    SYS_WRITEFILE = 21,
    SYS_USLEEP = 22,
    SYS_MKDIR = 49,
    SYS_UNLINK = 50,
    SYS_STREAM_BEGIN = 53,
    SYS_STREAM_WRITE = 54,
    SYS_STREAM_END = 55,
    SYS_DRIVE_SELECT = 56,
    SYS_DISK_COUNT = 58,
    SYS_DISK_PRESENT = 59,
    SYS_SEED_WORD = 109,
    SYS_LSEEK = 110,

    // Network: one current TCP connection, no handle.
    SYS_NET_RESOLVE = 119,
    SYS_TCP_CONNECT = 120,
    SYS_TCP_SEND = 121,
    SYS_TCP_RECV = 122,
    SYS_TCP_CLOSE = 123,

    SYS_SPAWN = 131,
    SYS_WAITPID = 132,
    SYS_DISK_PREPARE = 133,
    SYS_DISK_WRITE_SECTOR = 135,
    SYS_DISK_PARTITION_TABLE = 136,
};

// open flags: 0 reads (directories too); 0x241 creates or truncates for writing.
constexpr long O_READ = 0;
constexpr long O_CREATE_BIT = 0x40;
constexpr long O_CREAT_TRUNC_WRITE = 0x241;

constexpr long SEEK_FROM_START = 0;
constexpr long SEEK_FROM_END = 2;

// Directory entry record filled by getdents: byte 0 non-zero for a directory,
// bytes 1-7 unused, the NUL-terminated name from byte 8.
constexpr int DIRENT_SIZE = 64;
constexpr int DIRENT_NAME_OFFSET = 8;
constexpr int DIRENT_NAME_MAX = DIRENT_SIZE - DIRENT_NAME_OFFSET - 1;

// Partition layout record filled by disk_partition_table: a 12-byte header,
// then four 12-byte entries (used, type, bootable, unused, first sector LE32,
// sector count LE32).
constexpr int PARTITION_RECORD_SIZE = 60;
constexpr int PARTITION_HEADER_SIZE = 12;
constexpr int PARTITION_ENTRY_SIZE = 12;
constexpr int PARTITION_ENTRIES = 4;
constexpr int SECTOR_SIZE = 512;

// Result of a TCP receive when the peer has closed the connection.
constexpr long TCP_PEER_CLOSED = -2;

// Window event record filled by gui_wait_event: type, code, 12 unread bytes.
constexpr int GUI_EVENT_SIZE = 20;
constexpr int32_t GUI_EVENT_KEY = 1;
constexpr int32_t GUI_EVENT_CLOSE = 3;
// Any other type only asks for a redraw; the hosted window sends this one.
constexpr int32_t GUI_EVENT_REDRAW = 2;
// Key codes: the character in the low byte, or one of the arrow codes.
constexpr int32_t KEY_ENTER = 13;      // carriage return
constexpr int32_t KEY_LINE_FEED = 10;  // also taken as Enter
constexpr int32_t KEY_SPACE = 32;
constexpr int32_t KEY_UP = 0x1001;
constexpr int32_t KEY_DOWN = 0x1002;

struct gui_event {
    int32_t type;
    int32_t code;
    uint8_t unused[12];
};
static_assert(sizeof(gui_event) == GUI_EVENT_SIZE);

struct gui_size {
    int32_t width;
    int32_t height;
};

struct gui_rect {
    int32_t x, y, width, height;
    uint32_t colour;  // 0x00BBGGRR
};

struct gui_text {
    int32_t x, y;
    uint32_t colour;  // 0x00BBGGRR
    const char* text;
};

}  // namespace qor
