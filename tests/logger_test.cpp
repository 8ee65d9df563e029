// Level filtering and routing of every inserted element to a callback
// function, a callback object or the logger's own stream buffer.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "logger.h"

namespace {

// What a callback function or object received: "text@level|" per call.
std::string sink;

struct Recorder : LoggerInterface {
    void logMessage(std::string text, int level) override {
        calls += text + "@" + std::to_string(level) + "|";
    }
    std::string calls;
};

class LoggerTest : public testing::Test {
protected:
    void SetUp() override { sink.clear(); }
    static void record(std::string text, int level) {
        sink += text + "@" + std::to_string(level) + "|";
    }
    std::stringbuf buf;
    Logger log{&buf};
    Recorder object;
};

}  // namespace

TEST_F(LoggerTest, DeliversElementsAtOrBelowTheThreshold) {
    log << Logger::ERROR << '-';  // a new logger is QUIET
    // threshold, level: delivered when level <= threshold
    const int cases[][2] = {{3, 4}, {3, 3}, {3, 1}, {1, 2}, {0, 1}, {4, 4}};
    char name = 'a';
    for (const auto& c : cases) {
        log.setVerbosity(static_cast<Logger::VERBOSITY>(c[0]));
        log << static_cast<Logger::VERBOSITY>(c[1]) << name++;
    }
    EXPECT_EQ(buf.str(), "bcf");
}

TEST_F(LoggerTest, CallbackGetsOneFreshlyFormattedTextPerElement) {
    log.setVerbosity(Logger::VERBOSE);
    log.setCallBackFunction(record);
    log.precision(2);
    log << Logger::VERBOSE << 42 << std::endl << std::flush << 3.14159 << Logger::QUIET << 'c';
    log << Logger::ERROR << std::string("ab\0cd", 5) << static_cast<const char*>(nullptr) << true;
    EXPECT_EQ(sink, "42@3|\n@3|@3|3.14159@3|c@3|ab@1|@1|1@1|");
}

TEST_F(LoggerTest, FunctionBeforeObjectBeforeOwnStream) {
    log.setVerbosity(Logger::NORMAL);
    log.setCallBackFunction(record);
    log.setCallBackObject(&object);
    log << "first";
    log.setCallBackFunction(nullptr);
    log << Logger::ERROR << "second" << std::string("x\0y", 3);
    log.setCallBackObject(nullptr);
    log << "third" << std::string("x\0y", 3) << static_cast<const char*>(nullptr) << "lost";
    EXPECT_EQ(sink + "/" + object.calls, "first@2|/second@1|x@1|");
    EXPECT_EQ(buf.str(), std::string("thirdx\0y", 8));
    EXPECT_TRUE(log.bad());  // a null text fails the own stream, as it does a standard one
}

TEST_F(LoggerTest, ChildFollowsTheRootOfItsChainButKeepsItsLevel) {
    Logger root(nullptr), middle(nullptr);
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
