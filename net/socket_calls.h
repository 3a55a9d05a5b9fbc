// The socket calls the records make beside the registration's (the sel_*
// calls of runtime/platform.h), in one form on every platform: a socket is an
// int (-1: none), an option's value is a plain pointer, and a failure leaves
// its error number in errno, which is what a report at the error level shows
// (on Windows the socket's own number, from 10000 on).
#pragma once

#if defined(_WIN32)
#include "net/win/socket_calls.h"
#else
#include "net/unix/socket_calls.h"
#endif
