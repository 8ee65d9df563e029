// The exception family through which every failure of the library is reported.
#ifndef TRAVINE_EXCEPTION_H
#define TRAVINE_EXCEPTION_H

#include <exception>
#include <string>

#include "travine_export.h"
#include "types.h"

// Base of the family; never thrown itself. A catcher reads the text from
// msg (what() is the standard library's own), the throwing operation from
// method ("Class::op()") and the throw site within it from index (from 1).
// name is empty here and holds the class name in every subclass.
class TRAVINE_EXPORT Exception : public std::exception {
public:
    Exception(const std::string& text, const std::string& where, u32 site)
        : msg(text), method(where), index(site) {}
    Exception(const Exception&) = default;
    Exception& operator=(const Exception&) = default;
    virtual ~Exception() {}

    std::string msg;
    std::string method;
    u32 index;
    std::string name;
};

// A base64 text could not be decoded.
class TRAVINE_EXPORT DecodeException : public Exception {
public:
    DecodeException(const std::string& text, const std::string& where, u32 site)
        : Exception(text, where, site) {
        name = "DecodeException";
    }
};

// Connecting, reading, writing or a server reply failed.
class TRAVINE_EXPORT TransferException : public Exception {
public:
    TransferException(const std::string& text, const std::string& where, u32 site)
        : Exception(text, where, site) {
        name = "TransferException";
    }
};

// The server does not offer the authentication that was asked for.
class TRAVINE_EXPORT AuthenticationFailedException : public Exception {
public:
    AuthenticationFailedException(const std::string& text, const std::string& where, u32 site)
        : Exception(text, where, site) {
        name = "AuthenticationFailedException";
    }
};

// The TLS layer failed (handshake, verification, reading, writing).
class TRAVINE_EXPORT SSLException : public Exception {
public:
    SSLException(const std::string& text, const std::string& where, u32 site)
        : Exception(text, where, site) {
        name = "SSLException";
    }
};

// A CA file or directory is missing or unreadable.
class TRAVINE_EXPORT IOException : public Exception {
public:
    IOException(const std::string& text, const std::string& where, u32 site)
        : Exception(text, where, site) {
        name = "IOException";
    }
};

#endif
