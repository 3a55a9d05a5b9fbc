// A Modbus RTU slave on a serial port: a table of 100 holding registers that a
// master reads (function 3) and writes (functions 6 and 16).
//
//   modbus_rtu_slave DEVICE [ADDRESS] [BAUD]   (address 1 to 247, default 1;
//                                               default 19200 baud; 8E1)
//
// The frame rules live in one pure function, reply_to(), which turns a
// request frame into its reply; main() only carries frames between it and
// the port. A frame is what arrives between two silences of 3.5 characters,
// which the port measures itself (set_read_gap), so each read is one frame.
#include <array>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <span>
#include <vector>

#include "keel.hpp"

namespace {

constexpr std::size_t kRegisters = 100;

// Exception codes.
constexpr uint8_t kIllegalFunction = 1;
constexpr uint8_t kIllegalAddress = 2;
constexpr uint8_t kIllegalValue = 3;

// CRC-16 of an RTU frame: polynomial 0xA001 (reflected 0x8005), from 0xFFFF.
uint16_t crc16(std::span<const uint8_t> bytes) {
    uint16_t crc = 0xFFFF;
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; i++) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

// The silence that ends a frame: 3.5 characters of 11 bits (start, 8 data,
// parity or a second stop bit, stop), and a fixed 1,750 us above 19,200 baud,
// where a character is too short for a computer to time it reliably.
std::chrono::microseconds frame_gap(int baud) {
    if (baud > 19200) return std::chrono::microseconds(1750);
    return std::chrono::microseconds((38'500'000LL + baud - 1) / baud);  // 38.5 bits, rounded up
}

// The reply to one request frame, with its CRC, or nothing when none is due:
// a frame too short or too long, one with a bad CRC (the master will time out
// and ask again), one for another slave, and any broadcast (address 0, whose
// writes are done all the same).
std::vector<uint8_t> reply_to(std::span<const uint8_t> frame, uint8_t address,
                              std::array<uint16_t, kRegisters> &registers) {
    if (frame.size() < 4 || frame.size() > 256) return {};
    const std::size_t n = frame.size();
    if (crc16(frame.first(n - 2)) != (frame[n - 2] | frame[n - 1] << 8)) return {};
    if (frame[0] != address && frame[0] != 0) return {};

    const uint8_t function = frame[1];
    const auto data = frame.subspan(2, n - 4);  // between the function and the CRC
    auto word = [&](std::size_t i) { return static_cast<unsigned>(data[i] << 8 | data[i + 1]); };
    std::vector<uint8_t> reply{address, function};
    auto exception = [&](uint8_t code) { reply = {address, static_cast<uint8_t>(function | 0x80), code}; };

    // Each function checks, in this order, the length of its request and its
    // quantities (illegal value), then the registers it names (illegal address).
    switch (function) {
        case 3: {  // read holding registers: start, quantity 1..125
            if (data.size() != 4 || word(2) < 1 || word(2) > 125) {
                exception(kIllegalValue);
            } else if (word(0) + word(2) > kRegisters) {
                exception(kIllegalAddress);
            } else {
                reply.push_back(static_cast<uint8_t>(word(2) * 2));
                for (unsigned r = word(0); r < word(0) + word(2); r++) {
                    reply.push_back(static_cast<uint8_t>(registers[r] >> 8));
                    reply.push_back(static_cast<uint8_t>(registers[r]));
                }
            }
            break;
        }
        case 6:  // write single register: address, value; the reply echoes both
            if (data.size() != 4) {
                exception(kIllegalValue);
            } else if (word(0) >= kRegisters) {
                exception(kIllegalAddress);
            } else {
                registers[word(0)] = static_cast<uint16_t>(word(2));
                reply.insert(reply.end(), data.begin(), data.end());
            }
            break;
        case 16:  // write multiple registers: start, quantity 1..123, byte count, values
            if (data.size() < 5 || word(2) < 1 || word(2) > 123 || data[4] != word(2) * 2 ||
                data.size() != 5u + data[4]) {
                exception(kIllegalValue);
            } else if (word(0) + word(2) > kRegisters) {
                exception(kIllegalAddress);
            } else {
                for (unsigned i = 0; i < word(2); i++) registers[word(0) + i] = static_cast<uint16_t>(word(5 + 2 * i));
                reply.insert(reply.end(), data.begin(), data.begin() + 4);  // start and quantity
            }
            break;
        default:
            exception(kIllegalFunction);
    }
    if (frame[0] == 0) return {};
    const uint16_t crc = crc16(reply);
    reply.push_back(static_cast<uint8_t>(crc));  // low byte first
    reply.push_back(static_cast<uint8_t>(crc >> 8));
    return reply;
}

// The whole text as a number from low to high, or -1.
int number(const char *text, int low, int high) {
    int value = -1;
    const auto [end, error] = std::from_chars(text, text + std::strlen(text), value);
    return error == std::errc{} && *end == 0 && value >= low && value <= high ? value : -1;
}

}  // namespace

int main(int argc, char **argv) {
    const int address = argc > 2 ? number(argv[2], 1, 247) : 1;
    const int baud = argc > 3 ? number(argv[3], 1, 4000000) : 19200;
    if (argc < 2 || argc > 4 || address < 0 || baud < 0) {
        std::fprintf(stderr, "usage: %s DEVICE [ADDRESS 1-247] [BAUD]   (default: 1 19200; the line is 8E1)\n",
                     argv[0]);
        return 2;
    }
    keel::runtime runtime;
    if (!runtime.ok()) return 1;

    // The table and the replies belong to the runtime's main thread, where
    // the port's callbacks run: a timer or a socket callback added there may
    // use the table too, without a lock.
    std::array<uint16_t, kRegisters> registers{};
    keel::serial_port port(argv[1], {.baud = baud, .data_bits = 8, .parity = 'E', .stop_bits = 1});
    port.set_read_gap(frame_gap(baud));
    port.set_main_thread(true);
    port.on_read([&](std::span<const std::byte> data) {
        const std::span frame(reinterpret_cast<const uint8_t *>(data.data()), data.size());
        const auto reply = reply_to(frame, static_cast<uint8_t>(address), registers);
        if (!reply.empty()) port.write(std::as_bytes(std::span(reply)));
    });
    // A USB adapter pulled out ends the program with 1, for a service manager
    // to start it again once the device is back.
    port.on_event([&](keel::serial_event event) {
        if (event.kind != keel::serial_event::hangup) return;
        std::fprintf(stderr, "%s: %s hung up\n", argv[0], argv[1]);
        keel::runtime::stop(1);
    });
    // Ctrl-C and SIGTERM end it with 0, the function running on the main thread.
    for (int signo : {SIGINT, SIGTERM}) os_signal_bind(signo, [](int, void *) { keel::runtime::stop(0); }, nullptr);
    if (auto error = port.open()) {
        std::fprintf(stderr, "%s: cannot open %s: %s\n", argv[0], argv[1], error.message().c_str());
        return 1;
    }
    std::printf("modbus_rtu_slave: address %d on %s at %d 8E1, %zu holding registers\n", address, argv[1], baud,
                kRegisters);
    std::fflush(stdout);
    return runtime.run();  // the port closes itself
}
