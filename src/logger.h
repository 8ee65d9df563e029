// A std::ostream that filters every inserted element by level and hands it
// to a host callback function, a host callback object or its own buffer.
#ifndef TRAVINE_LOGGER_H
#define TRAVINE_LOGGER_H

#include <ios>
#include <ostream>
#include <streambuf>
#include <string>

#include "travine_export.h"

// Implemented by a host that wants log elements delivered to an object.
class TRAVINE_EXPORT LoggerInterface {
public:
    // One inserted element: its text (valid for the call) and its level.
    virtual void logMessage(std::string text, int level) = 0;
    virtual ~LoggerInterface();
};

// A host callback: one inserted element, its text and its level.
typedef void (*funcPtr)(std::string text, int level);

class TRAVINE_EXPORT Logger : public std::ostream {
public:
    enum VERBOSITY { QUIET = 0, ERROR = 1, NORMAL = 2, VERBOSE = 3, VVERBOSE = 4 };

    // Writes into the stream buffer std::cout uses at construction time.
    Logger();
    // Writes into sbuf, which is not owned.
    explicit Logger(std::streambuf* sbuf);
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;
    // Releases nothing and does not flush.
    virtual ~Logger();

    // Follow parent's threshold and callbacks from the next element on;
    // null detaches (the last copied values stay).
    void setParentLogger(Logger* parent);
    // Copies threshold, callback function and callback object from the
    // parent chain; the level is never copied.
    void sync();

    VERBOSITY getVerbosity();
    funcPtr getCallBackFunction();
    LoggerInterface* getCallBackObject();
    void setVerbosity(VERBOSITY verbosity);
    void setCallBackFunction(funcPtr callback_function);
    void setCallBackObject(LoggerInterface* callback_object);

    // Sets the level of the elements that follow; QUIET leaves it unchanged.
    // Never filtered, delivers nothing.
    Logger& operator<<(VERBOSITY verbosity);

    // One element each: dropped when the level is above the threshold,
    // otherwise delivered to exactly one of callback function, callback
    // object or own stream, in that order of precedence. A callback gets the
    // element formatted in a fresh string stream.
    Logger& operator<<(bool val);
    Logger& operator<<(short val);
    Logger& operator<<(unsigned short val);
    Logger& operator<<(int val);
    Logger& operator<<(unsigned int val);
    Logger& operator<<(long val);
    Logger& operator<<(unsigned long val);
    Logger& operator<<(float val);
    Logger& operator<<(double val);
    Logger& operator<<(long double val);
    Logger& operator<<(void const* val);
    Logger& operator<<(char val);
    Logger& operator<<(signed char val);
    Logger& operator<<(unsigned char val);
    Logger& operator<<(char const* val);
    Logger& operator<<(signed char const* val);
    Logger& operator<<(unsigned char const* val);
    Logger& operator<<(std::streambuf* val);
    Logger& operator<<(std::ostream& (*val)(std::ostream&));
    Logger& operator<<(std::basic_ios<char>& (*val)(std::basic_ios<char>&));
    // Format manipulators such as std::hex: like the one above (without it
    // they would convert to bool and log "1").
    Logger& operator<<(std::ios_base& (*val)(std::ios_base&));
    // A callback receives the characters before the first NUL; the own
    // stream receives every byte.
    Logger& operator<<(std::string val);

    LoggerInterface* callback_object;
    funcPtr callback_function;
    VERBOSITY verbosity;
    VERBOSITY lvl;
    Logger* parent;
};

#endif
