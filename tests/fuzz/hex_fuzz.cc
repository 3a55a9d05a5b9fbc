// Hexadecimal text: any text decodes without writing past len/2 bytes, and
// any bytes encode and decode back to themselves.
#include <cstdlib>
#include <cstring>
#include <vector>

#include "keel/log.h"
#include "keel/os_proc.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    log_start(0, 0);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<char> text(data, data + size);
    std::vector<unsigned char> decoded(size / 2);
    if (os_decode(text.data(), static_cast<int>(size), decoded.data()) != 1) abort();

    std::vector<char> hex(2 * size + 1);
    std::vector<unsigned char> back(size);
    if (os_encode(data, static_cast<int>(size), hex.data()) != 1 || hex[2 * size] != '\0') abort();
    if (os_decode(hex.data(), static_cast<int>(2 * size), back.data()) != 1) abort();
    if (size > 0 && memcmp(back.data(), data, size) != 0) abort();
    return 0;
}
