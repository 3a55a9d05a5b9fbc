// Character-set conversion of random bytes between sets from a fixed list, into output buffers of random size: the
// result is a length within the buffer or a status, and nothing is written past the buffer.
#include "keel/os_proc.h"
#include "tests/fuzz/fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    static const char *const kSets[] = {"UTF-8",  "GBK",       "GB18030", "ISO-8859-1", "UTF-16LE",     "UTF-16BE",
                                        "UTF-32", "SHIFT_JIS", "BIG5",    "ASCII",      "WINDOWS-1252", "NO-SUCH-SET"};
    FuzzedDataProvider in(data, size);
    const char *from = in.PickValueInArray(kSets), *to = in.PickValueInArray(kSets);
    int room = in.ConsumeIntegralInRange<int>(0, 4096);
    std::vector<char> src = in.ConsumeRemainingBytes<char>();
    // The exact size, so that the address checker sees any write past it.
    std::vector<char> out(static_cast<size_t>(room) + 1);
    int n =
        os_code_convert(from, to, room > 0 ? out.data() : nullptr, room, src.data(), static_cast<uint32_t>(src.size()));
    if ((n >= room && room > 0) || n < -6) FUZZ_FAIL();  // a length leaves room for the terminator
    return 0;
}
