// Real peers as child processes (socat, dnsmasq, OpenSSL's programs, curl, the examples). A peer never outlives its
// test: it is killed when its object goes, and the kernel kills it when the test process dies first (a crash, ctest's
// timeout), so no run leaves a dnsmasq or a socat behind.
#pragma once

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <vector>

#include "net_support.h"

namespace keel_test {

// An outside program. Its standard output and error go to `log` (or to /dev/null), its input comes from a pipe of ours
// (with_input) or /dev/null. The child dies with the thread that made it: make peers on the test's own thread.
class Child {
public:
    explicit Child(const std::vector<std::string> &args, std::string log = "", bool with_input = false)
        : log_(std::move(log)) {
        std::vector<char *> argv;
        for (const std::string &arg : args) argv.push_back(const_cast<char *>(arg.c_str()));
        argv.push_back(nullptr);
        int in[2] = {-1, -1};
        if (with_input && pipe2(in, O_CLOEXEC) != 0) return;
        pid_t parent = getpid();
        if ((pid_ = fork()) == 0) {  // only calls that are safe after fork in a threaded process
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(127);  // the test ended already
            int fd = open(log_.empty() ? "/dev/null" : log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int input = in[0] >= 0 ? in[0] : open("/dev/null", O_RDONLY);
            if (fd < 0 || input < 0 || dup2(input, 0) < 0 || dup2(fd, 1) < 0 || dup2(fd, 2) < 0) _exit(127);
            execvp(argv[0], argv.data());
            _exit(127);
        }
        if (in[0] >= 0) close(in[0]);
        input_ = in[1];
    }
    ~Child() { close_input(), stop(SIGKILL); }
    Child(const Child &) = delete;
    Child &operator=(const Child &) = delete;
    // Sends sig and waits for the end (SIGKILL after 5 s).
    void stop(int sig = SIGTERM) {
        if (pid_ <= 0) return;
        kill(pid_, sig);
        if (!exited(std::chrono::seconds(5))) kill(pid_, SIGKILL), exited(std::chrono::seconds(5));
    }
    bool input(const std::string &text) const {
        return write(input_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    }
    void close_input() { close(input_), input_ = -1; }  // s_client, say, ends at the end of its input
    // True once it has ended, within the deadline; code() then tells how (128 + the signal for a killed one).
    bool exited(std::chrono::milliseconds deadline) {
        int status;
        auto ended = [&] { return waitpid(pid_, &status, WNOHANG) == pid_; };
        if (pid_ > 0 && wait_until(ended, deadline, std::chrono::milliseconds(5))) {
            code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            pid_ = -1;
        }
        return pid_ <= 0;
    }
    int code() const { return code_; }
    std::string output() const { return std::string(std::istreambuf_iterator<char>(std::ifstream(log_).rdbuf()), {}); }

private:
    std::string log_;
    pid_t pid_ = -1;
    int input_ = -1, code_ = -1;
};

inline bool installed(const std::string &program) {  // can be run
    return system(("command -v " + program + " >/dev/null 2>&1").c_str()) == 0;
}

// dnsmasq on 127.0.0.1 and a port of its own, from a hosts file and its options alone (no upstream server: no query
// leaves the machine). Up once it answers a query: a port merely taken may be another process's, and one that could not
// take its TCP port ends soon after it took the UDP one; then it is started again on another port.
class Dnsmasq {
public:
    Dnsmasq(const std::string &hosts, const std::vector<std::string> &options) {
        std::ofstream(files_ + "hosts") << hosts;
        // It keeps the user it runs as: as root it would otherwise change to one that may not read the hosts file.
        const passwd *self = getpwuid(geteuid());
        for (int attempt = 0; attempt < 5 && !ready_; ++attempt) {
            port_ = free_port(SOCK_DGRAM);
            std::istringstream words(std::string(access("/usr/sbin/dnsmasq", X_OK) == 0 ? "/usr/sbin/" : "") +
                                     "dnsmasq --no-resolv --no-hosts --bind-interfaces --listen-address=127.0.0.1 "
                                     "--keep-in-foreground --conf-file=/dev/null --pid-file --log-facility=- --port=" +
                                     std::to_string(port_) + " --user=" + (self != nullptr ? self->pw_name : "root") +
                                     " --addn-hosts=" + files_ + "hosts");
            std::vector<std::string> args(std::istream_iterator<std::string>(words), {});
            args.insert(args.end(), options.begin(), options.end());
            child_.emplace(args, files_ + "log");
            wait_until([&] { return child_->exited(std::chrono::milliseconds(0)) || (ready_ = answers()); },
                       std::chrono::seconds(10));
        }
    }
    ~Dnsmasq() { unlink((files_ + "hosts").c_str()), unlink((files_ + "log").c_str()); }
    bool ready() const { return ready_; }
    std::string server() const { return "127.0.0.1:" + std::to_string(port_); }
    std::string log() const { return child_ ? child_->output() : ""; }

private:
    // True when it answers a query (for any name, in any way) within 100 ms.
    bool answers() const {
        static const std::string query("\x4b\x31\1\0\0\1\0\0\0\0\0\0\5probe\0\0\1\0\1", 23);  // an id, one question
        Addr to(AF_INET, port_);
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        bool ok = sendto(fd, query.data(), query.size(), 0, to.sa(), to.len) == 23 &&
                  read_exact(fd, 2, 100) == query.substr(0, 2);  // its reply carries the id
        close(fd);
        return ok;
    }
    std::string files_ = "/tmp/keel_dns_" + std::to_string(getpid()) + "_";  // + "hosts", + "log"
    uint16_t port_ = 0;
    bool ready_ = false;
    std::optional<Child> child_;
};

}  // namespace keel_test
