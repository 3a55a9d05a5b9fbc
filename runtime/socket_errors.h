// Socket error numbers as the runtime's callers test them: the numbering of
// the socket interface the library's messages were defined against, carried
// in the high half of an event's code and given by sel_last_error().
#pragma once

#if defined(_WIN32)
// The system's own numbers, as macros of the same names and values.
#include <winsock2.h>
#else
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
#endif

namespace keel::rt {

// The number for an errno value (0 for 0).
int wsa_error_from_errno(int err);
// The errno value behind a number that wsa_error_from_errno gave; 0 for 0
// and for numbers of no errno value (a resolver's, say).
int errno_from_wsa_error(int wsa);

}  // namespace keel::rt
