// The C consumer's program built as C++, through find_package(keel).
#include "consumer.c"
