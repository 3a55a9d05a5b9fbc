// Real peers as child processes (socat, dnsmasq, OpenSSL's programs, curl,
// the examples), shared by the tests, the stress program and the fuzz
// harnesses. A peer never outlives its test: it is killed when its object
// goes, and the kernel kills it when the test process dies first (a crash,
// ctest's timeout), so no run leaves a dnsmasq or a socat behind.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "net_support.h"

namespace keel_test {

// An outside program. Its standard output and error go to `log` (or to
// /dev/null), its input comes from a pipe of ours (with_input) or
// /dev/null. The child dies with the thread that made it: make peers on the
// test's own thread.
class Child {
public:
    explicit Child(const std::vector<std::string> &args, std::string log = "", bool with_input = false)
        : log_(std::move(log)) {
        std::vector<char *> argv;
        for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        int in[2] = {-1, -1};
        if (with_input && pipe2(in, O_CLOEXEC) != 0) return;
        const char *out = log_.empty() ? "/dev/null" : log_.c_str();
        pid_t parent = getpid();
        pid_ = fork();
        if (pid_ == 0) {  // only calls that are safe after fork in a threaded process
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(127);  // the test ended already
            int fd = open(out, O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int input = in[0] >= 0 ? in[0] : open("/dev/null", O_RDONLY);
            if (fd < 0 || input < 0 || dup2(input, 0) < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0) _exit(127);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        if (in[0] >= 0) close(in[0]);
        input_ = in[1];
    }
    ~Child() {
        close_input();
        stop(SIGKILL);
    }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;

    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }
    void signal(int sig) const {
        if (pid_ > 0) kill(pid_, sig);
    }
    // Sends sig and waits for the end (SIGKILL after 5 s).
    void stop(int sig = SIGTERM) {
        if (pid_ <= 0) return;
        kill(pid_, sig);
        if (!exited(std::chrono::seconds(5))) kill(pid_, SIGKILL), exited(std::chrono::seconds(5));
    }
    bool input(const std::string &text) const {
        return write(input_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }
    void close_input() {
        if (input_ >= 0) close(input_);
        input_ = -1;
    }
    // True once it has ended, within the deadline; code() then tells how
    // (128 + the signal for a killed one).
    bool exited(std::chrono::milliseconds deadline) {
        int status;
        if (pid_ > 0 && wait_until([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, deadline,
                                   std::chrono::milliseconds(5))) {
            code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            pid_ = -1;
        }
        return pid_ <= 0;
    }
    int code() const { return code_; }
    std::string output() const {
        std::ifstream in(log_);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

private:
    std::string log_;
    pid_t pid_ = -1;
    int input_ = -1, code_ = -1;
};

// True when a program of that name can be run.
inline bool installed(const std::string &program) {
    return system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

// True once something accepts connections on 127.0.0.1:port.
inline bool listening(uint16_t port, std::chrono::milliseconds deadline = std::chrono::seconds(10)) {
    return wait_until([port] {
        int probe = plain_connect(port);
        return probe >= 0 && close(probe) == 0;
    }, deadline, std::chrono::milliseconds(5));
}

// A name server that answers: dnsmasq on 127.0.0.1 and a port of its own,
// from a hosts file and its options alone (no upstream server, so no query
// ever leaves the machine). Up once it answers a query: a port merely taken
// may be another process's, and one that could not take its TCP port ends
// soon after it took the UDP one; then it is started again on another port.
class Dnsmasq {
public:
    Dnsmasq(const std::string &hosts, const std::vector<std::string> &options) {
        dir_ = "/tmp/keel_dns_" + std::to_string(getpid());
        mkdir(dir_.c_str(), 0700);
        std::ofstream(dir_ + "/hosts") << hosts;
        // It keeps the user it runs as: as root it would otherwise change to
        // one that may not read the hosts file.
        const passwd *self = getpwuid(geteuid());
        for (int attempt = 0; attempt < 5 && child_ == nullptr; ++attempt) {
            port_ = free_port(SOCK_DGRAM);
            std::vector<std::string> args = {
                access("/usr/sbin/dnsmasq", X_OK) == 0 ? "/usr/sbin/dnsmasq" : "dnsmasq", "--no-resolv", "--no-hosts",
                "--bind-interfaces", "--listen-address=127.0.0.1", "--port=" + std::to_string(port_),
                "--keep-in-foreground", "--conf-file=/dev/null", "--pid-file", "--log-facility=-",
                std::string("--user=") + (self != nullptr ? self->pw_name : "root"), "--addn-hosts=" + dir_ + "/hosts"};
            args.insert(args.end(), options.begin(), options.end());
            child_ = new Child(args, dir_ + "/log");
            if (!wait_until([&] { return child_->exited(std::chrono::milliseconds(0)) || answers(port_); },
                            std::chrono::seconds(10)) ||
                !child_->started())
                delete child_, child_ = nullptr;
        }
    }
    ~Dnsmasq() {
        delete child_;
        std::string log = dir_ + "/log", hosts = dir_ + "/hosts";
        unlink(log.c_str()), unlink(hosts.c_str()), rmdir(dir_.c_str());
    }
    Dnsmasq(const Dnsmasq &) = delete;
    Dnsmasq &operator=(const Dnsmasq &) = delete;

    bool ready() const { return child_ != nullptr; }
    std::string server() const { return "127.0.0.1:" + std::to_string(port_); }
    uint16_t port() const { return port_; }
    std::string log() const {
        std::ifstream in(dir_ + "/log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    // True when a name server on 127.0.0.1:port answers a query (for any
    // name, in any way) within 100 ms.
    static bool answers(uint16_t port) {
        static const unsigned char query[] = {0x4b, 0x31, 1, 0, 0, 1, 0, 0, 0, 0, 0, 0, 5, 'p', 'r', 'o', 'b', 'e', 0, 0, 1, 0, 1};
        Addr to(AF_INET, port);
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        unsigned char reply[512];
        pollfd p{fd, POLLIN, 0};
        bool ok = sendto(fd, query, sizeof query, 0, to.sa(), to.len) == sizeof query && poll(&p, 1, 100) == 1 &&
                  recv(fd, reply, sizeof reply, 0) >= 2 && reply[0] == query[0] && reply[1] == query[1];
        close(fd);
        return ok;
    }

private:
    std::string dir_;
    uint16_t port_ = 0;
    Child *child_ = nullptr;
};

}  // namespace keel_test
