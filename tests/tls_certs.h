// Certificates and keys for the TLS tests, made afresh by each test process
// with OpenSSL's C interface (EC P-256, quick to make) in a directory of its
// own that goes away with the object.
#pragma once

#include <string>

namespace keel_test {

struct TlsPair {
    std::string cert, key;  // PEM file paths
};

class TlsCerts {
public:
    TlsCerts();
    ~TlsCerts();
    TlsCerts(const TlsCerts &) = delete;
    TlsCerts &operator=(const TlsCerts &) = delete;

    bool ok() const { return ok_; }
    // A path in the directory, for files a test writes itself.
    std::string path(const std::string &name) const { return dir_ + "/" + name; }

    std::string ca;        // the authority the tests trust (self-signed)
    std::string other_ca;  // an unrelated authority
    TlsPair server;        // "localhost", 127.0.0.1 and ::1, by ca
    TlsPair expired;       // as server, its validity over a day ago
    TlsPair by_name;       // "localhost" as a name only, no address, by ca
    TlsPair other_name;    // "other.example" only, by ca
    TlsPair rogue;         // as server, but by other_ca
    TlsPair client;        // a client certificate by ca

private:
    std::string dir_;
    bool ok_ = false;
};

}  // namespace keel_test
