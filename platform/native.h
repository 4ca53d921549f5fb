// The native half of the platform layer: the operating system's serial port,
// clock, events, memory and threads. Implemented once for Win32
// (native_win32.cpp) and once for POSIX (native_posix.cpp); seam.cpp puts the
// plugged-in backends in front of it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform.h"

namespace kdx::platform::native {

std::string default_device(uint8_t index);
Port* open_port(const char* device, OpenMode mode);

uint32_t tick_count();
void sleep_ms(uint32_t milliseconds);

Event* create_event();
bool close_event(Event* event);
bool set_event(Event* event);

void* local_alloc_zeroed(std::size_t size);
bool local_free(void* block);
void* heap_alloc(std::size_t size);
void heap_free(void* block);

// Starts `proc(argument)` on a new thread; the id slot gets a non-zero id
// before the thread runs.
Thread* create_thread(ThreadProc proc, void* argument, std::atomic<uint32_t>& id_slot);
bool join_thread(Thread* thread);
bool close_thread(Thread* thread);

}  // namespace kdx::platform::native
