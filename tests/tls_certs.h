// Certificates and keys for the TLS tests, made afresh by each test process with OpenSSL's C interface (EC P-256, quick
// to make) in a directory of its own that goes away with the object. The Windows build's come from the host (RSA keys:
// see tls_certs.cc).
#pragma once

#include <filesystem>
#include <string>

namespace keel_test {

struct TlsPair {
    std::string cert, key;  // PEM file paths (one file holds both)
};

struct TlsCerts {
    TlsCerts();
    ~TlsCerts() { std::filesystem::remove_all(dir_, error_); }
    bool ok() const { return ok_; }
    std::string path(const std::string &name) const { return dir_ + "/" + name; }  // for a test's own files
    std::string ca, other_ca;     // the authority the tests trust; an unrelated one
    TlsPair server, expired;      // "localhost", 127.0.0.1 and ::1, by ca; the same, past its validity
    TlsPair by_name, other_name;  // by ca: "localhost" as a name only, no address; "other.example" only
    std::string dir_;
    bool ok_ = false;
    std::error_code error_;  // of the removal, which no test needs
};

}  // namespace keel_test
