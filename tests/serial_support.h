// Serial ports played by pseudo-terminals, shared by the tests and the stress program: the device end of a pty pair
// whose slave the library opens as COM<n>, a client that gathers what it reads, and the library's reports.
#pragma once

#include <fcntl.h>
#ifndef _WIN32
#include <pty.h>
#endif

#include <mutex>
#include <regex>
#include <vector>

#include "keel/os_comm.h"
#include "net_support.h"

namespace keel_test {

#ifdef _WIN32
// Under wine the pair is made on the Linux side, where a Windows process cannot reach: socat makes a pty, links its
// slave into the prefix's dosdevices folder as com<port> (which \\.\COM<port> opens), and carries its master's bytes
// over a loopback connection, whose end this is. Closing that end ends socat, which hangs the terminal up and removes
// its link: only then may the next socat make the same one, or this one would remove that.
struct Device {
    int master = -1;
    std::string path, link;
    explicit Device(int port) : path("COM" + std::to_string(port)) {
        Addr at;
        int listener = bound(SOCK_STREAM, at);
        std::string link = std::string(getenv("WINEPREFIX") ? getenv("WINEPREFIX") : "") + "/dosdevices/com" +
                           std::to_string(port);
        this->link = "Z:" + link;
        std::replace(this->link.begin(), this->link.end(), '/', '\\');
        wait_until([&] { return !linked(); });  // an earlier case's socat may still be ending
        std::string command = "start.exe /unix /usr/bin/socat pty,raw,echo=0,link=" + link + " tcp:127.0.0.1:" +
                              std::to_string(at.port());
        STARTUPINFOA start{};
        start.cb = sizeof start;
        PROCESS_INFORMATION child{};
        pollfd p{as_socket(listener), POLLIN, 0};
        if (getenv("WINEPREFIX") && CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                                                   &start, &child)) {
            CloseHandle(child.hThread), CloseHandle(child.hProcess);
            if (poll(&p, 1, 20000) == 1) master = static_cast<int>(accept(as_socket(listener), nullptr, nullptr));
        }
        u_long on = 1;
        if (master >= 0) ioctlsocket(as_socket(master), FIONBIO, &on);
        close_socket(listener);
    }
    ~Device() { hang_up(); }
    void hang_up() {
        if (master < 0) return;
        close_socket(master), master = -1;
        wait_until([&] { return !linked(); });
    }
    bool linked() {  // by the folder's listing ("com<n>" itself, in any folder, names the port)
        WIN32_FIND_DATAA found;
        HANDLE h = FindFirstFileA((link + "*").c_str(), &found);
        bool seen = false;
        for (bool more = h != INVALID_HANDLE_VALUE; more; more = FindNextFileA(h, &found))
            seen = seen || link.ends_with(std::string("\\") + found.cFileName);
        return h != INVALID_HANDLE_VALUE && FindClose(h) && seen;
    }
    // As fast as socat takes it; false when it took nothing for 10 s.
    bool write_all(const std::string &data) {
        pollfd p{as_socket(master), POLLOUT, 0};
        for (size_t done = 0; done < data.size();)
            if (int n = send(as_socket(master), &data[done], static_cast<int>(data.size() - done), 0); n > 0)
                done += static_cast<size_t>(n);
            else if ((n < 0 && WSAGetLastError() != WSAEWOULDBLOCK) || poll(&p, 1, 10000) != 1)
                return false;
        return true;
    }
};
#else
// The device end of a pty pair, whose slave is KEEL_COM<port>; closed on exec, lest a child keep it from hanging up.
struct Device {
    int master = -1, slave = -1;
    std::string path;
    explicit Device(int port) {
        char name[128];
        if (openpty(&master, &slave, name, nullptr, nullptr) != 0 || fcntl(master, F_SETFL, O_NONBLOCK) != 0) return;
        fcntl(master, F_SETFD, FD_CLOEXEC), fcntl(slave, F_SETFD, FD_CLOEXEC);
        setenv(("KEEL_COM" + std::to_string(port)).c_str(), (path = name).c_str(), 1);
    }
    ~Device() { hang_up(), close(slave); }
    void hang_up() { close(master), master = -1; }
    // As fast as the terminal takes it; false when it took nothing for 10 s.
    bool write_all(const std::string &data) {
        pollfd p{master, POLLOUT, 0};
        for (size_t done = 0; done < data.size();)
            if (ssize_t n = write(master, &data[done], data.size() - done); n > 0)
                done += static_cast<size_t>(n);
            else if ((n < 0 && errno != EAGAIN) || poll(&p, 1, 10000) != 1)
                return false;
        return true;
    }
};
#endif

// A client whose read callback takes every byte into `got`.
struct Port {
    os_comm_client_t *client;
    std::mutex lock;
    std::string got;
    explicit Port(os_comm_client_t *c) : client(c) { os_comm_client_bind_read(client, on_read, this); }
    explicit Port(int n, int b = 115200, int bits = 8, char p = 'N') : Port(os_comm_client_create(n, b, bits, p, 1)) {}
    ~Port() { os_comm_client_destroy(client); }
    static int on_read(os_comm_client_t *client, void *arg) {
        auto *self = static_cast<Port *>(arg);
        char chunk[700];
        std::lock_guard<std::mutex> g(self->lock);
        for (int n; (n = os_comm_client_read(client, chunk, sizeof chunk)) > 0;) self->got.append(chunk, n);
        return 0;
    }
    std::string text() { return std::lock_guard<std::mutex>(lock), got; }
    bool wait_for(size_t size) {
        return wait_until([&] { return text().size() >= size; }, std::chrono::seconds(20));
    }
};

}  // namespace keel_test
