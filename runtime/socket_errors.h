// Socket error numbers as the runtime's callers test them: the numbering of
// the socket interface the library's messages were defined against, carried
// in the high half of an event's code and given by sel_last_error().
#pragma once

#if defined(_WIN32)
// The system's headers name the same numbers as macros: they must have the
// values below, and give way to them in the library's code.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
static_assert(WSABASEERR == 10000);
static_assert(WSAEINTR == 10004);
static_assert(WSAEBADF == 10009);
static_assert(WSAEACCES == 10013);
static_assert(WSAEFAULT == 10014);
static_assert(WSAEINVAL == 10022);
static_assert(WSAEMFILE == 10024);
static_assert(WSAEWOULDBLOCK == 10035);
static_assert(WSAEINPROGRESS == 10036);
static_assert(WSAEALREADY == 10037);
static_assert(WSAENOTSOCK == 10038);
static_assert(WSAEDESTADDRREQ == 10039);
static_assert(WSAEMSGSIZE == 10040);
static_assert(WSAEPROTOTYPE == 10041);
static_assert(WSAENOPROTOOPT == 10042);
static_assert(WSAEPROTONOSUPPORT == 10043);
static_assert(WSAEOPNOTSUPP == 10045);
static_assert(WSAEAFNOSUPPORT == 10047);
static_assert(WSAEADDRINUSE == 10048);
static_assert(WSAEADDRNOTAVAIL == 10049);
static_assert(WSAENETDOWN == 10050);
static_assert(WSAENETUNREACH == 10051);
static_assert(WSAENETRESET == 10052);
static_assert(WSAECONNABORTED == 10053);
static_assert(WSAECONNRESET == 10054);
static_assert(WSAENOBUFS == 10055);
static_assert(WSAEISCONN == 10056);
static_assert(WSAENOTCONN == 10057);
static_assert(WSAESHUTDOWN == 10058);
static_assert(WSAETIMEDOUT == 10060);
static_assert(WSAECONNREFUSED == 10061);
static_assert(WSAEHOSTDOWN == 10064);
static_assert(WSAEHOSTUNREACH == 10065);
#undef WSABASEERR
#undef WSAEINTR
#undef WSAEBADF
#undef WSAEACCES
#undef WSAEFAULT
#undef WSAEINVAL
#undef WSAEMFILE
#undef WSAEWOULDBLOCK
#undef WSAEINPROGRESS
#undef WSAEALREADY
#undef WSAENOTSOCK
#undef WSAEDESTADDRREQ
#undef WSAEMSGSIZE
#undef WSAEPROTOTYPE
#undef WSAENOPROTOOPT
#undef WSAEPROTONOSUPPORT
#undef WSAEOPNOTSUPP
#undef WSAEAFNOSUPPORT
#undef WSAEADDRINUSE
#undef WSAEADDRNOTAVAIL
#undef WSAENETDOWN
#undef WSAENETUNREACH
#undef WSAENETRESET
#undef WSAECONNABORTED
#undef WSAECONNRESET
#undef WSAENOBUFS
#undef WSAEISCONN
#undef WSAENOTCONN
#undef WSAESHUTDOWN
#undef WSAETIMEDOUT
#undef WSAECONNREFUSED
#undef WSAEHOSTDOWN
#undef WSAEHOSTUNREACH
#endif

namespace keel::rt {

constexpr int WSABASEERR = 10000;  // added to an errno value that has no number of its own
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;

}  // namespace keel::rt

namespace keel::rt {

// The number for an errno value (0 for 0).
int wsa_error_from_errno(int err);
// The errno value behind a number that wsa_error_from_errno gave; 0 for 0
// and for numbers of no errno value (a resolver's, say).
int errno_from_wsa_error(int wsa);

}  // namespace keel::rt
