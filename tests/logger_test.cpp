// Level filtering and routing of every inserted element to a callback
// function, a callback object or the logger's own stream buffer.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "logger.h"

namespace {

// What a callback function or object received: "text@level|" per call.
std::string sink;

void record(std::string text, int level) {
    sink += text + "@" + std::to_string(level) + "|";
}

struct Recorder : LoggerInterface {
    void logMessage(std::string text, int level) override {
        calls += text + "@" + std::to_string(level) + "|";
    }
    std::string calls;
};

}  // namespace

TEST(Logger, EachElementAtOrBelowTheThresholdGoesToFunctionElseObjectElseOwnStream) {
    std::stringbuf buf;
    Logger log(&buf);
    Recorder object;
    log << Logger::ERROR << '-';  // a new logger is QUIET
    log.setVerbosity(Logger::NORMAL);
    log.setCallBackFunction(record);
    log.setCallBackObject(&object);
    log.precision(2);  // a callback's text is formatted in a fresh stream
    log << Logger::VERBOSE << "hidden" << Logger::NORMAL << 42 << std::endl << 3.14159;
    log << Logger::QUIET << 'c';  // not a level to log at
    log.setCallBackFunction(nullptr);
    log << Logger::ERROR << std::string("ab\0cd", 5) << static_cast<const char*>(nullptr) << true;
    log.setCallBackObject(nullptr);
    log << "own" << std::string("x\0y", 3) << static_cast<const char*>(nullptr) << "lost";
    EXPECT_EQ(sink + "/" + object.calls, "42@2|\n@2|3.14159@2|c@2|/ab@1|@1|1@1|");
    EXPECT_EQ(buf.str(), std::string("ownx\0y", 6));
    EXPECT_TRUE(log.bad());  // a null text fails the own stream, as it does a standard one
}

TEST(Logger, ChildFollowsTheRootOfItsChainButKeepsItsLevel) {
    std::stringbuf buf;
    Logger root(nullptr), middle(nullptr), log(&buf);
    Recorder object;
    middle.setParentLogger(&root);
    log.setParentLogger(&middle);
    root.setVerbosity(Logger::VERBOSE);
    root.setCallBackObject(&object);
    log << Logger::VERBOSE << "a";
    root << Logger::ERROR;
    log.setVerbosity(Logger::QUIET);  // overwritten from the parent at the next element
    log << "b";
    log.setParentLogger(nullptr);
    root.setCallBackObject(nullptr);
    log << "c";  // detached: keeps what it copied last
    EXPECT_EQ(object.calls + buf.str(), "a@3|b@3|c@3|");
}
