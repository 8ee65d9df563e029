// Helpers shared by the fuzz targets: a check that ends the run with a
// readable report, a printable form of raw bytes, and a transport that adopts
// one end of a socket pair.
#ifndef TRAVINE_FUZZ_SUPPORT_H
#define TRAVINE_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "exception.h"
#include "sslsocket.h"

// The most server bytes a session target feeds through a socket pair: the
// pair's buffer holds it all, so pre-loading the peer never blocks.
const size_t FUZZ_MAX_WIRE = 64 * 1024;

// Raw bytes with CR, LF, backslash and every non-printable byte escaped.
inline std::string printable(const std::string& bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (char c : bytes) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (u < 0x20 || u >= 0x7f) {
            out += "\\x";
            out += digits[u >> 4];
            out += digits[u & 0x0f];
        } else {
            out += c;
        }
    }
    return out;
}

// One line describing a caught exception.
inline std::string describe(const Exception& e) {
    return e.name + " " + e.method + " " + std::to_string(e.index) + ": " + printable(e.msg);
}

[[noreturn]] inline void fuzz_fail(const char* check, const char* file, int line,
                                   const std::string& detail) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, check);
    if (!detail.empty()) {
        std::fprintf(stderr, "%s\n", detail.c_str());
    }
    std::fflush(stderr);
    std::abort();
}

// Ends the run (abort, which both libFuzzer and the replay report) unless cond
// holds; detail is evaluated only on failure.
#define FUZZ_CHECK_MSG(cond, detail)                        \
    do {                                                    \
        if (!(cond)) {                                      \
            fuzz_fail(#cond, __FILE__, __LINE__, (detail)); \
        }                                                   \
    } while (0)
#define FUZZ_CHECK(cond) FUZZ_CHECK_MSG(cond, std::string())

// A transport on an already connected descriptor whose connect() does
// nothing, so a session runs over a socket pair.
struct AdoptedSocket : SSLSocket {
    explicit AdoptedSocket(int fd) : SSLSocket("peer", fd) {}
    void connect() override {}
};

#endif
