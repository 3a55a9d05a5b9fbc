// The socket error numbers are the system's own here, and errno carries them
// for the library's reports: both ways, a number stays as it is.
#include "runtime/socket_errors.h"

namespace keel::rt {

int wsa_error_from_errno(int err) { return err; }

int errno_from_wsa_error(int wsa) { return wsa; }

}  // namespace keel::rt
