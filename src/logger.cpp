// A std::ostream that filters every inserted element by level and hands it
// to a host callback function, a host callback object or its own buffer.
#include "logger.h"

#include <iostream>
#include <sstream>

LoggerInterface::~LoggerInterface() {}

namespace {

// One element: judged against the threshold, then formatted in a fresh
// string stream for a callback (fmt) or written to the logger's own stream
// (own). Exactly one destination receives it.
template <class Fmt, class Own>
Logger& insert(Logger& log, Fmt fmt, Own own) {
    log.sync();
    if (static_cast<int>(log.lvl) > static_cast<int>(log.verbosity)) {
        return log;
    }
    if (log.callback_function != nullptr) {
        std::ostringstream fresh;
        fmt(fresh);
        log.callback_function(fresh.str(), log.lvl);
    } else if (log.callback_object != nullptr) {
        std::ostringstream fresh;
        fmt(fresh);
        log.callback_object->logMessage(fresh.str(), log.lvl);
    } else {
        own(static_cast<std::ostream&>(log));
    }
    return log;
}

// An element that both routes format the same way, with their own flags.
template <class T>
Logger& insert_value(Logger& log, const T& val) {
    return insert(
        log, [&](std::ostream& os) { os << val; }, [&](std::ostream& os) { os << val; });
}

// A NUL-terminated text; a null pointer is an empty text for a callback and
// a failure of the own stream, as a standard stream treats it.
Logger& insert_text(Logger& log, const char* val) {
    return insert(
        log,
        [&](std::ostream& os) {
            if (val != nullptr) {
                os << val;
            }
        },
        [&](std::ostream& os) {
            if (val == nullptr) {
                os.setstate(std::ios_base::badbit);
            } else {
                os << std::string(val);
            }
        });
}

}  // namespace

Logger::Logger()
    : std::ostream(std::cout.rdbuf()),
      callback_object(nullptr),
      callback_function(nullptr),
      verbosity(QUIET),
      lvl(NORMAL),
      parent(nullptr) {}

Logger::Logger(std::streambuf* sbuf)
    : std::ostream(sbuf),
      callback_object(nullptr),
      callback_function(nullptr),
      verbosity(QUIET),
      lvl(NORMAL),
      parent(nullptr) {}

Logger::~Logger() {}

void Logger::setParentLogger(Logger* new_parent) {
    parent = new_parent;
}

void Logger::sync() {
    // The parent is brought up to date once; its three values then stand.
    if (parent != nullptr) {
        parent->sync();
        verbosity = parent->verbosity;
        callback_function = parent->callback_function;
        callback_object = parent->callback_object;
    }
}

Logger::VERBOSITY Logger::getVerbosity() {
    sync();
    return verbosity;
}

funcPtr Logger::getCallBackFunction() {
    sync();
    return callback_function;
}

LoggerInterface* Logger::getCallBackObject() {
    sync();
    return callback_object;
}

void Logger::setVerbosity(VERBOSITY threshold) {
    verbosity = threshold;
}

void Logger::setCallBackFunction(funcPtr function) {
    callback_function = function;
}

void Logger::setCallBackObject(LoggerInterface* object) {
    callback_object = object;
}

Logger& Logger::operator<<(VERBOSITY level) {
    sync();
    if (level != QUIET) {
        lvl = level;
    }
    return *this;
}

// The overloads for values, each forwarded alike: kept one to a line.
// clang-format off
Logger& Logger::operator<<(bool val) { return insert_value(*this, val); }
Logger& Logger::operator<<(short val) { return insert_value(*this, val); }
Logger& Logger::operator<<(unsigned short val) { return insert_value(*this, val); }
Logger& Logger::operator<<(int val) { return insert_value(*this, val); }
Logger& Logger::operator<<(unsigned int val) { return insert_value(*this, val); }
Logger& Logger::operator<<(long val) { return insert_value(*this, val); }
Logger& Logger::operator<<(unsigned long val) { return insert_value(*this, val); }
Logger& Logger::operator<<(float val) { return insert_value(*this, val); }
Logger& Logger::operator<<(double val) { return insert_value(*this, val); }
Logger& Logger::operator<<(long double val) { return insert_value(*this, val); }
Logger& Logger::operator<<(void const* val) { return insert_value(*this, val); }
Logger& Logger::operator<<(char val) { return insert_value(*this, val); }
Logger& Logger::operator<<(signed char val) { return insert_value(*this, val); }
Logger& Logger::operator<<(unsigned char val) { return insert_value(*this, val); }
// clang-format on

Logger& Logger::operator<<(char const* val) {
    return insert_text(*this, val);
}

Logger& Logger::operator<<(signed char const* val) {
    return insert_text(*this, reinterpret_cast<char const*>(val));
}

Logger& Logger::operator<<(unsigned char const* val) {
    return insert_text(*this, reinterpret_cast<char const*>(val));
}

Logger& Logger::operator<<(std::streambuf* val) {
    return insert(
        *this, [&](std::ostream& os) { os << val; }, [&](std::ostream& os) { os << val; });
}

Logger& Logger::operator<<(std::ostream& (*val)(std::ostream&)) {
    return insert(
        *this, [&](std::ostream& os) { val(os); }, [&](std::ostream& os) { val(os); });
}

Logger& Logger::operator<<(std::basic_ios<char>& (*val)(std::basic_ios<char>&)) {
    return insert(
        *this, [&](std::ostream& os) { val(os); }, [&](std::ostream& os) { val(os); });
}

Logger& Logger::operator<<(std::ios_base& (*val)(std::ios_base&)) {
    return insert(
        *this, [&](std::ostream& os) { val(os); }, [&](std::ostream& os) { val(os); });
}

Logger& Logger::operator<<(std::string val) {
    return insert(
        *this, [&](std::ostream& os) { os << val.substr(0, val.find('\0')); },
        [&](std::ostream& os) { os << val; });
}
