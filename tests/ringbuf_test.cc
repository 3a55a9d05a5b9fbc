// The ring buffer: wrap-around, bad lengths, overwriting, blocking, index size.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "adt_test_support.h"
#include "keel/log.h"
#include "keel/ringbuf.h"

namespace {
int put(ringbuf_t *b, const std::string &s) { return ringbuf_write(static_cast<int>(s.size()), s.data(), b); }
std::string take(ringbuf_t *b, int len) {
    std::string out(static_cast<size_t>(len), '\0');
    return out.substr(0, static_cast<size_t>(std::max(ringbuf_read(len, out.data(), b), 0)));
}
}  // namespace

TEST(Ringbuf, WrapAroundOverwriteAndLengthsOutOfRange) {
    log_start(0, 1);
    ringbuf_t *b = ringbuf_create(16, RINGBUF_WRITE_BLOCK);
    EXPECT_EQ(put(b, "0123456789"), 16) << "a write answers with the buffer's size";
    EXPECT_EQ(take(b, 8), "01234567");
    put(b, "abcdefghij");  // runs past the end of the area
    EXPECT_EQ(std::string(static_cast<char *>(ringbuf_getdata(b)), 8), "89abcdef") << "up to the area's end";
    char out[16] = {0};
    keel_test::StderrCapture cap;
    EXPECT_EQ(ringbuf_write(0, "x", b) + ringbuf_write(-5, "x", b), -5);
    EXPECT_EQ(ringbuf_read(-3, out, b) + ringbuf_copy(0, out, b) + ringbuf_remove(-4, b), -3);
    ringbuf_copydata(-1, out, b), ringbuf_copydata(100, out, b);
    EXPECT_STREQ(out, "89abcdefghij") << "lengths below 1 change nothing; copies stop at the stored bytes";
    EXPECT_EQ(take(b, 10), "89abcdefgh");
    keel_test::expect_reports(cap, "ringbuf.cc", {{!ringbuf_remove(100, b), "ringbuf_remove len 100 > datasize 2"}});
    int r = -1, w = -2;
    ringbuf_get_index(b, &r, &w);
    EXPECT_EQ(r, w) << "removing too much stops at the written bytes";
    ringbuf_destroy(b);

    b = ringbuf_create(16, RINGBUF_WRITE_OVERWRITE);  // the oldest bytes give way
    put(b, "ABCDEFGHIJ"), put(b, "klmnopqrst");
    EXPECT_EQ(take(b, 100), "EFGHIJklmnopqrst");
    put(b, "xyz"), put(b, "ABCDEFGHIJKLMNOPQRSTUVWXyz0123456789abcd");  // longer than the buffer
    EXPECT_EQ(take(b, 100), "yz0123456789abcd") << "only the source's tail survives";
    ringbuf_destroy(b);
}

TEST(Ringbuf, BlockingWriterWaitsForAReader) {
    ringbuf_t *b = ringbuf_create(16, RINGBUF_WRITE_BLOCK);
    std::string source(200, '\0'), got;
    for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<char>('a' + i % 26);
    put(b, source.substr(0, 10));
    std::atomic<int> result{0};
    std::thread writer([&] { result = put(b, source.substr(10)); });
    ASSERT_TRUE(keel_test::wait_until([&] { return ringbuf_capacity(b) == 0; })) << (writer.detach(), "");
    EXPECT_EQ(result, 0) << "a full buffer and no reader: the write must still wait";
    EXPECT_TRUE(keel_test::wait_until([&] { return (got += take(b, 7)).size() >= source.size(); }));
    ASSERT_TRUE(keel_test::wait_until([&] { return result == 16; })) << (writer.detach(), "");
    writer.join();
    EXPECT_EQ(got, source) << "the portions arrive whole and in order";
    ringbuf_destroy(b);
}

// A size that does not divide 2^32, and three bytes always left behind.
TEST(Ringbuf, IndicesStayLowWhileDataKeepsItsOrder) {
    const int size = (1 << 20) + 3, chunk = 1 << 20;
    ringbuf_t *b = ringbuf_create(size, RINGBUF_WRITE_BLOCK);
    std::string pattern(chunk + 251, '\0'), out(chunk, '\0');
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<char>(i % 251);
    int r = 0, w = 0;
    ringbuf_write(3, pattern.data(), b);
    for (uint32_t read = 0; read < 0x28000000u; read += chunk) {
        ringbuf_write(chunk, pattern.data() + (read + 3) % 251, b);
        ASSERT_EQ(ringbuf_read(chunk, out.data(), b), chunk);
        ASSERT_EQ(out.compare(0, out.size(), pattern, read % 251, out.size()), 0) << read;
        ringbuf_get_index(b, &r, &w);
        ASSERT_TRUE(w - r == 3 && w <= 0x1FFFFFFF + 2 * size) << r << " " << w;
    }
    ringbuf_destroy(b);
}
