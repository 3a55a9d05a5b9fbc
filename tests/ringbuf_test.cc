// The ring buffer: both write policies, wrap-around, in-place reading, the
// blocking writer and its reader, index normalisation, and bad input.
#include <gtest/gtest.h>

#include <atomic>
#include <climits>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "adt_test_support.h"
#include "keel/log.h"
#include "keel/ringbuf.h"

using keel_test::info_messages;
using keel_test::StderrCapture;

namespace {

int put(ringbuf_t *b, const std::string &s) { return ringbuf_write(static_cast<int>(s.size()), s.data(), b); }

std::string take(ringbuf_t *b, int len) {
    std::string out(static_cast<size_t>(len), '\0');
    out.resize(static_cast<size_t>(std::max(ringbuf_read(len, out.data(), b), 0)));
    return out;
}

std::pair<int, int> indices(ringbuf_t *b) {
    int r = -1, w = -1;
    ringbuf_get_index(b, &r, &w);
    return {r, w};
}

}  // namespace

TEST(Ringbuf, WrappedDataComesBackInOrder) {
    ringbuf_t *b = ringbuf_create(16, RINGBUF_WRITE_BLOCK);
    EXPECT_EQ(put(b, "hello"), 16) << "a write answers with the buffer's size";
    EXPECT_EQ(ringbuf_datasize(b), 5);
    EXPECT_EQ(ringbuf_capacity(b), 11) << "the free room, not the size";
    EXPECT_EQ(take(b, 100), "hello");
    EXPECT_EQ(take(b, 4), "");
    EXPECT_EQ(indices(b), std::make_pair(0, 0)) << "an empty read resets the indices";

    put(b, "0123456789");
    EXPECT_EQ(take(b, 8), "01234567");
    put(b, "abcdefghij");  // runs past the end of the area
    EXPECT_EQ(indices(b), std::make_pair(8, 20));
    std::string peek(12, '\0');
    EXPECT_EQ(ringbuf_copy(12, peek.data(), b), 12);
    EXPECT_EQ(peek, "89abcdefghij");
    EXPECT_EQ(take(b, 12), peek) << "copy consumes nothing";
    put(b, "x");
    EXPECT_EQ(ringbuf_clear(b), 0);
    EXPECT_EQ(indices(b), std::make_pair(0, 0));
    ringbuf_destroy(b);
}

TEST(Ringbuf, OverwriteDropsTheOldestBytes) {
    ringbuf_t *b = ringbuf_create(16, RINGBUF_WRITE_OVERWRITE);
    put(b, "ABCDEFGHIJ");
    EXPECT_EQ(put(b, "klmnopqrst"), 16);
    EXPECT_EQ(ringbuf_datasize(b), 16);
    EXPECT_EQ(ringbuf_capacity(b), 0);
    EXPECT_EQ(take(b, 16), "EFGHIJklmnopqrst");
    std::string forty(40, '\0');
    std::iota(forty.begin(), forty.end(), 'A');
    put(b, "xyz");
    EXPECT_EQ(put(b, forty), 16);
    EXPECT_EQ(take(b, 40), forty.substr(24)) << "only the source's tail survives";
    ringbuf_destroy(b);
}

TEST(Ringbuf, InPlaceReadingAndLengthsOutOfRange) {
    log_start(0, 1);
    ringbuf_t *b = ringbuf_create(8, RINGBUF_WRITE_BLOCK);
    put(b, "abcdef");
    take(b, 4);
    put(b, "ghij");  // "efghij" stored, wrapping after "efgh"
    EXPECT_EQ(std::string(static_cast<char *>(ringbuf_getdata(b)), 4), "efgh");
    EXPECT_EQ(ringbuf_remove(4, b), 0);
    EXPECT_EQ(std::string(static_cast<char *>(ringbuf_getdata(b)), 2), "ij");

    StderrCapture cap;
    char out[16] = {0};
    EXPECT_EQ(ringbuf_write(0, "x", b) + ringbuf_write(-5, "x", b), -5);
    EXPECT_EQ(ringbuf_read(-3, out, b) + ringbuf_copy(0, out, b), -3);
    EXPECT_EQ(ringbuf_remove(-4, b), 0);
    ringbuf_copydata(-1, out, b);
    EXPECT_EQ(ringbuf_datasize(b), 2) << "lengths below 1 change nothing";
    ringbuf_copydata(16, out, b);
    EXPECT_STREQ(out, "ij") << "cut to the stored bytes";
    EXPECT_EQ(ringbuf_remove(100, b), 0);
    EXPECT_EQ(info_messages(cap.text(), "ringbuf.cc"),
              (std::vector<std::string>{"ringbuf_remove len 100 > datasize 2"}));
    put(b, "kl");
    EXPECT_EQ(take(b, 8), "kl") << "no phantom bytes after an excessive remove";
    ringbuf_destroy(b);
}

TEST(Ringbuf, BadArgumentsReportAndFail) {
    log_start(0, 1);
    ringbuf_t *b = ringbuf_create(4, RINGBUF_WRITE_BLOCK);
    char buf[4];
    int r = 7;
    StderrCapture cap;
    EXPECT_EQ(ringbuf_create(0, RINGBUF_WRITE_BLOCK), nullptr);
    EXPECT_EQ(ringbuf_create(16, 2), nullptr);
    EXPECT_EQ(ringbuf_write(1, buf, nullptr), -1);
    EXPECT_EQ(ringbuf_write(1, nullptr, b), -1);
    EXPECT_EQ(ringbuf_read(1, buf, nullptr), -1);
    EXPECT_EQ(ringbuf_read(1, nullptr, b), -1);
    EXPECT_EQ(ringbuf_copy(1, nullptr, b), -1);
    EXPECT_EQ(ringbuf_getdata(nullptr), nullptr);
    EXPECT_EQ(ringbuf_clear(nullptr) + ringbuf_remove(1, nullptr), -2);
    // Without a report.
    EXPECT_EQ(ringbuf_copy(1, buf, nullptr), -1);
    EXPECT_EQ(ringbuf_datasize(nullptr) + ringbuf_capacity(nullptr), 0);
    ringbuf_get_index(nullptr, &r, &r);
    ringbuf_get_index(b, nullptr, nullptr);
    ringbuf_copydata(1, nullptr, b);
    ringbuf_destroy(nullptr);
    EXPECT_EQ(r, 7);
    EXPECT_EQ(info_messages(cap.text(), "ringbuf.cc"),
              (std::vector<std::string>{"bufsize<=0", "unkonw ringbug write type", "ptbuf is null",
                                        "src is null", "ptbuf is null", "dst is null", "dst is null",
                                        "ptbuf is null", "ptbuf is null", "ptbuf is null"}));
    ringbuf_destroy(b);
}

TEST(Ringbuf, BlockingWriterWaitsForAReader) {
    ringbuf_t *b = ringbuf_create(16, RINGBUF_WRITE_BLOCK);
    std::string source(200, '\0');
    for (size_t i = 0; i < source.size(); ++i) source[i] = static_cast<char>('a' + i % 26);
    put(b, source.substr(0, 10));
    std::atomic<int> result{0};
    std::thread writer([&] { result = put(b, source.substr(10)); });
    ASSERT_TRUE(keel_test::wait_until([&] { return ringbuf_capacity(b) == 0; })) << (writer.detach(), "");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(result, 0) << "a full buffer and no reader: the write must still wait";
    std::string got;
    EXPECT_TRUE(keel_test::wait_until([&] {
        got += take(b, 7);
        return got.size() >= source.size();
    }, std::chrono::seconds(10)));
    ASSERT_TRUE(keel_test::wait_until([&] { return result != 0; })) << (writer.detach(), "");
    writer.join();
    EXPECT_EQ(result, 16);
    EXPECT_EQ(got, source) << "the portions arrive whole and in order";
    ringbuf_destroy(b);
}

TEST(Ringbuf, IndicesShrinkWhileDataKeepsItsOrder) {
    // A size that does not divide 2^32, with three bytes always left behind.
    const int size = (1 << 20) + 3, chunk = 1 << 20;
    ringbuf_t *b = ringbuf_create(size, RINGBUF_WRITE_BLOCK);
    std::string pattern(static_cast<size_t>(chunk) + 251, '\0'), out(static_cast<size_t>(chunk), '\0');
    for (size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<char>(i % 251);
    uint64_t read = 0;
    int highest = 0;
    bool shrank = false;
    ringbuf_write(3, pattern.data(), b);
    while (read < 0x28000000u) {
        ringbuf_write(chunk, pattern.data() + (read + 3) % 251, b);
        ASSERT_EQ(ringbuf_read(chunk, out.data(), b), chunk);
        ASSERT_EQ(out.compare(0, out.size(), pattern, read % 251, out.size()), 0) << read;
        read += static_cast<uint64_t>(chunk);
        auto [r, w] = indices(b);
        ASSERT_EQ(w - r, 3);
        shrank = shrank || w < highest;
        highest = std::max(highest, w);
    }
    EXPECT_TRUE(shrank);
    EXPECT_LE(highest, 0x1FFFFFFF + 2 * size);
    ringbuf_destroy(b);
}

TEST(RingbufDeathTest, AreaThatCannotBeAllocatedEndsTheProcess) {
    EXPECT_EXIT(
        {
            log_start(0, 1);
            keel_test::AddressSpaceCap no_room;
            ringbuf_create(INT_MAX, RINGBUF_WRITE_OVERWRITE);
        },
        testing::ExitedWithCode(1), "\\[fatal\\]  file: ringbuf.cc line: [0-9]+ malloc fail, NULL == ptBuf");
}
