#pragma once
// The messages a device protocol posts to the window of the driver that owns
// it; the driver turns them into events on the UI thread.
#include <cstdint>

#include "platform/MessageLoop.h"

namespace lumbra {

inline constexpr std::uint32_t WM_TESSERA_READ = platform::WM_USER + 200;
inline constexpr std::uint32_t WM_TESSERA_STATUS = platform::WM_USER + 201;
inline constexpr std::uint32_t WM_COMM_ERROR = platform::WM_USER + 202;
inline constexpr std::uint32_t WM_DISP_TIMEOUT = platform::WM_USER + 203;
inline constexpr std::uint32_t WM_DISP_RESTORE = platform::WM_USER + 205;
inline constexpr std::uint32_t WM_BAD_INSERT = platform::WM_USER + 206;
inline constexpr std::uint32_t WM_DISP_ERROR = platform::WM_USER + 207;
inline constexpr std::uint32_t WM_OPERATION_DONE = platform::WM_USER + 209;
// Posted by a port's event thread to the port's window when it ends by itself
// (the device went away or keeps failing): the owner's next timer step finds
// the port lost.
inline constexpr std::uint32_t WM_PORT_ENDED = platform::WM_USER + 251;

// LParam values of WM_TESSERA_READ.
inline constexpr platform::LPARAM trDataReady = 2;
inline constexpr platform::LPARAM trReadFailed = 3;
inline constexpr platform::LPARAM trCheckFailed = 4;

}  // namespace lumbra
