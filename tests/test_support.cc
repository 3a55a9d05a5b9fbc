// The helpers are inline in test_support.h; each test program links this unit all the same.
#include "test_support.h"
