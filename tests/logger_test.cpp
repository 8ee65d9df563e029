// Level filtering and routing of every inserted element to a callback
// function, a callback object or the logger's own stream buffer.
#include <gtest/gtest.h>

#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "logger.h"

namespace {

using Calls = std::vector<std::pair<std::string, int>>;

// Everything the callback function received, cleared before each test.
Calls sink;

void record(std::string text, int level) {
    sink.emplace_back(std::move(text), level);
}

class Recorder : public LoggerInterface {
public:
    void logMessage(std::string text, int level) override { calls.emplace_back(text, level); }
    Calls calls;
};

// A format manipulator of the basic_ios kind: upper-case hexadecimal.
std::basic_ios<char>& hex_upper(std::basic_ios<char>& s) {
    s.setf(std::ios_base::hex, std::ios_base::basefield);
    s.setf(std::ios_base::uppercase);
    return s;
}

class SinkTest : public testing::Test {
protected:
    void SetUp() override { sink.clear(); }
};

using LoggerDefaults = SinkTest;
using LoggerFilter = SinkTest;
using LoggerFragments = SinkTest;
using LoggerRouting = SinkTest;
using LoggerParent = SinkTest;
using LoggerElements = SinkTest;

}  // namespace

TEST_F(LoggerDefaults, NewLoggerIsQuietAtLevelNormal) {
    std::stringbuf buf;
    Logger log(&buf);
    EXPECT_EQ(log.lvl, Logger::NORMAL);
    EXPECT_EQ(log.parent, nullptr);
    EXPECT_EQ(log.callback_object, nullptr);
    log << Logger::NORMAL << "text" << 1 << std::endl;
    log.setCallBackFunction(record);
    log << Logger::ERROR << "text" << std::endl;
    EXPECT_EQ(buf.str(), "");
    EXPECT_TRUE(sink.empty());
}

TEST_F(LoggerDefaults, DefaultConstructorWritesIntoTheBufferCoutHasAtThatTime) {
    std::stringbuf captured;
    std::streambuf* const old = std::cout.rdbuf(&captured);
    Logger log;
    std::cout.rdbuf(old);
    log.setVerbosity(Logger::NORMAL);
    std::cout << std::hex;  // cout's format flags are not the logger's
    log << "n=" << 255 << std::endl;
    std::cout << std::dec;
    EXPECT_EQ(captured.str(), "n=255\n");
}

TEST_F(LoggerFilter, ElementsAboveTheThresholdAreDropped) {
    struct Case {
        Logger::VERBOSITY threshold, level;
        bool delivered;
    };
    const std::vector<Case> cases = {
        {Logger::VERBOSE, Logger::VVERBOSE, false}, {Logger::VERBOSE, Logger::VERBOSE, true},
        {Logger::ERROR, Logger::NORMAL, false},     {Logger::QUIET, Logger::ERROR, false},
        {Logger::VVERBOSE, Logger::VVERBOSE, true},
    };
    for (const auto& c : cases) {
        sink.clear();
        std::stringbuf buf;
        Logger log(&buf);
        log.setVerbosity(c.threshold);
        log << c.level << "line";
        EXPECT_EQ(buf.str(), c.delivered ? "line" : "") << c.threshold << "/" << c.level;
        log.setCallBackFunction(record);
        log << "line";
        EXPECT_EQ(sink, c.delivered ? Calls({{"line", c.level}}) : Calls())
            << c.threshold << "/" << c.level;
    }
}

TEST_F(LoggerFilter, LevelPersistsAndQuietLeavesItUnchanged) {
    std::stringbuf buf;
    Logger log(&buf);
    log.setVerbosity(Logger::VERBOSE);
    log << Logger::ERROR << Logger::VERBOSE;  // a level alone delivers nothing
    EXPECT_EQ(buf.str(), "");

    log.setCallBackFunction(record);
    log << Logger::VERBOSE << "a";
    log << "b";
    log << Logger::VVERBOSE << Logger::QUIET << "c";
    EXPECT_EQ(log.lvl, Logger::VVERBOSE);
    log << Logger::ERROR << Logger::QUIET << "d";
    EXPECT_EQ(sink, Calls({{"a", 3}, {"b", 3}, {"d", 1}}));
}

TEST_F(LoggerFragments, OneCallPerElementWithManipulatorsOnAThrowAwayStream) {
    Logger log(nullptr);
    log.setCallBackFunction(record);
    log.setVerbosity(Logger::VERBOSE);
    log << Logger::VERBOSE << 42 << std::endl << std::flush;
    log.width(6);
    log << hex_upper << std::hex << 255 << "ab" << std::ends;
    EXPECT_EQ(sink, Calls({{"42", 3},
                           {"\n", 3},
                           {"", 3},
                           {"", 3},
                           {"", 3},
                           {"255", 3},
                           {"ab", 3},
                           {std::string(1, '\0'), 3}}));
}

TEST_F(LoggerRouting, CallbackFunctionBeforeObjectBeforeOwnStream) {
    std::stringbuf buf;
    Logger log(&buf);
    Recorder object;
    log.setVerbosity(Logger::NORMAL);
    log.setCallBackFunction(record);
    log.setCallBackObject(&object);
    log << "first";
    log.setCallBackFunction(nullptr);
    log << Logger::ERROR << "second";
    log.setCallBackObject(nullptr);
    log << "third";
    EXPECT_EQ(sink, Calls({{"first", 2}}));
    EXPECT_EQ(object.calls, Calls({{"second", 1}}));
    EXPECT_EQ(buf.str(), "third");
}

TEST_F(LoggerRouting, CallbackExceptionPassesOut) {
    Logger log(nullptr);
    log.setVerbosity(Logger::NORMAL);
    log.setCallBackFunction([](std::string text, int) { throw std::runtime_error(text); });
    EXPECT_THROW(log << "boom", std::runtime_error);
}

TEST_F(LoggerParent, ChildFollowsTheRootOfItsChain) {
    Logger root(nullptr);
    Logger middle(nullptr);
    std::stringbuf leaf_buf;
    Logger leaf(&leaf_buf);
    Recorder object;
    middle.setParentLogger(&root);
    leaf.setParentLogger(&middle);
    middle.setVerbosity(Logger::QUIET);
    leaf.setVerbosity(Logger::QUIET);
    root.setVerbosity(Logger::VERBOSE);
    root.setCallBackFunction(record);

    leaf << Logger::VERBOSE << "line";
    // A value set on the child is overwritten at the next element.
    leaf.setVerbosity(Logger::QUIET);
    leaf << "again";
    EXPECT_EQ(sink, Calls({{"line", 3}, {"again", 3}}));
    EXPECT_EQ(leaf_buf.str(), "");

    // A change at the root takes effect at the next element and through the getters.
    root.setVerbosity(Logger::VVERBOSE);
    root.setCallBackFunction(nullptr);
    root.setCallBackObject(&object);
    EXPECT_EQ(leaf.getVerbosity(), Logger::VVERBOSE);
    EXPECT_EQ(leaf.getCallBackObject(), &object);
    EXPECT_EQ(leaf.getCallBackFunction(), nullptr);
    EXPECT_EQ(middle.verbosity, Logger::VVERBOSE);
    leaf << Logger::VVERBOSE << "deep";
    root.setVerbosity(Logger::ERROR);
    leaf << "dropped";
    EXPECT_EQ(object.calls, Calls({{"deep", 4}}));
    EXPECT_EQ(sink.size(), 2u);
}

TEST_F(LoggerParent, DetachedChildKeepsTheValuesItCopiedLast) {
    Logger parent(nullptr);
    Logger child(nullptr);
    Recorder object;
    child.setParentLogger(&parent);
    parent.setVerbosity(Logger::VERBOSE);
    parent.setCallBackFunction(record);
    parent.setCallBackObject(&object);
    child << Logger::VERBOSE << "attached";

    child.setParentLogger(nullptr);
    parent.setVerbosity(Logger::QUIET);
    parent.setCallBackFunction(nullptr);
    child << "detached";
    EXPECT_EQ(sink, Calls({{"attached", 3}, {"detached", 3}}));
    EXPECT_EQ(child.getVerbosity(), Logger::VERBOSE);
    EXPECT_EQ(child.getCallBackObject(), &object);
}

TEST_F(LoggerParent, ChildKeepsItsOwnLevel) {
    Logger parent(nullptr);
    Logger child(nullptr);
    child.setParentLogger(&parent);
    parent.setVerbosity(Logger::VERBOSE);
    parent.setCallBackFunction(record);
    child << Logger::VERBOSE;
    parent << Logger::ERROR << "parent";
    child << "child";
    EXPECT_EQ(sink, Calls({{"parent", 1}, {"child", 3}}));
}

TEST_F(LoggerElements, CharactersAndStringsWithNulOnEveryRoute) {
    const std::string text("ab\0cd", 5);
    std::stringbuf buf;
    Logger log(&buf);
    Recorder object;
    log.setVerbosity(Logger::NORMAL);
    log << 'A' << static_cast<signed char>('B') << static_cast<unsigned char>('C') << text;
    EXPECT_EQ(buf.str(), "ABC" + text);

    log.setCallBackFunction(record);
    log << 'A' << static_cast<signed char>('B') << static_cast<unsigned char>('C') << text;
    EXPECT_EQ(sink, Calls({{"A", 2}, {"B", 2}, {"C", 2}, {"ab", 2}}));

    log.setCallBackFunction(nullptr);
    log.setCallBackObject(&object);
    log << 'A' << text << std::string("\0x", 2);
    EXPECT_EQ(object.calls, Calls({{"A", 2}, {"ab", 2}, {"", 2}}));
}

TEST_F(LoggerElements, FormattingOnCallbackRoutesUsesFreshDefaults) {
    Logger log(nullptr);
    log.setCallBackFunction(record);
    log.setVerbosity(Logger::NORMAL);
    log.precision(2);
    int x = 0;
    const void* p = &x;
    std::ostringstream pointer;
    pointer << p;
    const unsigned char utext[] = "u-text";
    const signed char stext[] = "s-text";
    log << true << static_cast<short>(-7) << static_cast<unsigned short>(7) << -1L << 2UL << 3U
        << 3.14159265 << 0.5f << static_cast<long double>(1e20L) << p << utext << stext;
    std::string texts;
    for (const auto& call : sink) {
        texts += call.first + "|";
        EXPECT_EQ(call.second, 2);
    }
    EXPECT_EQ(texts, "1|-7|7|-1|2|3|3.14159|0.5|1e+20|" + pointer.str() + "|u-text|s-text|");
}

TEST_F(LoggerElements, OwnStreamUsesTheLoggersFlagsAndManipulators) {
    std::stringbuf buf;
    Logger log(&buf);
    log.setVerbosity(Logger::NORMAL);
    log.precision(3);
    log.setf(std::ios_base::boolalpha);
    log << true << " " << 3.14159265 << " ";
    log.width(5);
    log << "ab"
        << "|";
    log.width(4);
    log << std::string("cd") << "|" << std::hex << 255 << std::dec << " " << 255 << " " << hex_upper
        << 10 << std::ends << std::endl;
    EXPECT_EQ(buf.str(), std::string("true 3.14    ab|  cd|ff 255 A\0\n", 31));
}

TEST_F(LoggerElements, StreamBufferDeliversEverythingReadFromIt) {
    const std::string text = "line one\nline two\n";
    std::stringbuf source_a(text), source_b(text);
    std::stringbuf buf;
    Logger log(&buf);
    log.setVerbosity(Logger::NORMAL);
    log << &source_a;
    EXPECT_EQ(buf.str(), text);
    log.setCallBackFunction(record);
    log << &source_b;
    EXPECT_EQ(sink, Calls({{text, 2}}));
}
