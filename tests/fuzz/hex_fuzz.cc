// Hexadecimal text: any text decodes without writing past len/2 bytes, and any bytes encode and decode back.
#include <cstring>
#include <vector>

#include "keel/os_proc.h"
#include "tests/fuzz/fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<unsigned char> decoded(size / 2), back(size);  // exact sizes, for the address checker
    if (os_decode(reinterpret_cast<const char *>(data), static_cast<int>(size), decoded.data()) != 1) FUZZ_FAIL();
    std::vector<char> hex(2 * size + 1);
    if (os_encode(data, static_cast<int>(size), hex.data()) != 1 || hex[2 * size] != '\0') FUZZ_FAIL();
    if (os_decode(hex.data(), static_cast<int>(2 * size), back.data()) != 1) FUZZ_FAIL();
    if (size > 0 && memcmp(back.data(), data, size) != 0) FUZZ_FAIL();
    return 0;
}
