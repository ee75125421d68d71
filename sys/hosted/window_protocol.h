// The channel between a program's window and the window server
// (qor-window-server), shared by both sides.
//
// The program starts the server with descriptor 3 one end of a
// SOCK_SEQPACKET socket pair and descriptor 4 a memory file holding one
// frame_exchange; the window's caption is the server's only argument.
// Messages are single `window_message` packets:
//   server -> program  READY once the desktop window is open (the server
//                      exits instead when it cannot open one), then one
//                      EVENT for every WAIT;
//   program -> server  FRAME after each present, WAIT when the program
//                      blocks for its next event.
// Frames travel through the memory file as a triple buffer, so neither side
// ever waits for the other or sees a half-written frame.
#pragma once

#include <atomic>
#include <cstdint>

#include "window_internal.h"

namespace hosted {

constexpr int WINDOW_SERVER_SOCKET_FD = 3;
constexpr int WINDOW_SERVER_FRAME_FD = 4;

enum : uint32_t { WINDOW_MSG_READY = 1, WINDOW_MSG_FRAME = 2, WINDOW_MSG_WAIT = 3, WINDOW_MSG_EVENT = 4 };

struct window_message {
    uint32_t kind = 0;
    int32_t type = 0;  // EVENT: the event record's type and code
    int32_t code = 0;
};

// Three frame slots. The program draws into a slot of its own, then swaps it
// with `middle`; the server swaps its own slot with `middle` when the fresh
// bit is set there. Each side keeps the index of the slot it owns.
struct frame_exchange {
    static constexpr uint32_t FRESH = 4;  // beside the slot index in `middle`
    std::atomic<uint32_t> middle{1};
    uint32_t slots[3][WINDOW_PIXELS];
};
static_assert(std::atomic<uint32_t>::is_always_lock_free, "the exchange word is shared between processes");

constexpr uint32_t FRAME_SLOT_PROGRAM = 0;  // the owners of the other two slots at start
constexpr uint32_t FRAME_SLOT_SERVER = 2;

}  // namespace hosted
