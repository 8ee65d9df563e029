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

void record(std::string text, int level) { sink.emplace_back(std::move(text), level); }

class Recorder : public LoggerInterface {
public:
    void logMessage(std::string text, int level) override { calls.emplace_back(text, level); }
    Calls calls;
};

void throwing_callback(std::string text, int /*level*/) { throw std::runtime_error(text); }

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

class LoggerDefaults : public SinkTest {};
class LoggerFilter : public SinkTest {};
class LoggerFragments : public SinkTest {};
class LoggerRouting : public SinkTest {};
class LoggerParent : public SinkTest {};
class LoggerElements : public SinkTest {};

}  // namespace

TEST_F(LoggerDefaults, NewLoggerIsQuietAtLevelNormal) {
    std::stringbuf buf;
    Logger log(&buf);
    EXPECT_EQ(log.callback_object, nullptr);
    EXPECT_EQ(log.callback_function, nullptr);
    EXPECT_EQ(log.verbosity, Logger::QUIET);
    EXPECT_EQ(log.lvl, Logger::NORMAL);
    EXPECT_EQ(log.parent, nullptr);

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
    EXPECT_EQ(log.rdbuf(), &captured);

    log.setVerbosity(Logger::NORMAL);
    std::cout << std::hex;  // cout's format flags are not the logger's
    log << "n=" << 255 << std::endl;
    std::cout << std::dec;
    EXPECT_EQ(captured.str(), "n=255\n");
}

TEST_F(LoggerFilter, ElementsAboveTheThresholdAreDropped) {
    struct Case {
        Logger::VERBOSITY threshold;
        Logger::VERBOSITY level;
        bool delivered;
    };
    const std::vector<Case> cases = {
        {Logger::VERBOSE, Logger::VVERBOSE, false}, {Logger::VERBOSE, Logger::VERBOSE, true},
        {Logger::VERBOSE, Logger::NORMAL, true},    {Logger::VERBOSE, Logger::ERROR, true},
        {Logger::ERROR, Logger::NORMAL, false},     {Logger::ERROR, Logger::ERROR, true},
        {Logger::QUIET, Logger::ERROR, false},      {Logger::VVERBOSE, Logger::VVERBOSE, true},
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

TEST_F(LoggerFilter, QuietLeavesTheLevelUnchanged) {
    Logger log(nullptr);
    log.setCallBackFunction(record);
    log.setVerbosity(Logger::NORMAL);

    log << Logger::VVERBOSE << Logger::QUIET << "dropped";
    EXPECT_EQ(log.lvl, Logger::VVERBOSE);
    log << Logger::ERROR << Logger::QUIET << "kept";
    EXPECT_EQ(log.lvl, Logger::ERROR);
    EXPECT_EQ(sink, Calls({{"kept", 1}}));
}

TEST_F(LoggerFilter, LevelPersistsAcrossStatements) {
    Logger log(nullptr);
    log.setCallBackFunction(record);
    log.setVerbosity(Logger::VERBOSE);
    log << Logger::VERBOSE << "a";
    log << "b";
    log << Logger::VVERBOSE << "c";
    log << "d";
    EXPECT_EQ(sink, Calls({{"a", 3}, {"b", 3}}));
}

TEST_F(LoggerFilter, LevelInsertionDeliversNothing) {
    std::stringbuf buf;
    Logger log(&buf);
    log.setVerbosity(Logger::VVERBOSE);
    log << Logger::ERROR << Logger::VERBOSE;
    log.setCallBackFunction(record);
    log << Logger::ERROR << Logger::QUIET;
    EXPECT_EQ(buf.str(), "");
    EXPECT_TRUE(sink.empty());
}

TEST_F(LoggerFragments, OneCallPerElement) {
    Logger log(nullptr);
    log.setCallBackFunction(record);
    log.setVerbosity(Logger::VERBOSE);

    log << Logger::VERBOSE << 42 << std::endl;
    EXPECT_EQ(sink, Calls({{"42", 3}, {"\n", 3}}));

    sink.clear();
    const std::string host = "mail.example.test";
    log << Logger::VERBOSE << host << ":\t" << "250 OK" << std::endl;
    EXPECT_EQ(sink, Calls({{host, 3}, {":\t", 3}, {"250 OK", 3}, {"\n", 3}}));
}

TEST_F(LoggerFragments, ManipulatorsActOnAThrowAwayStream) {
    Logger log(nullptr);
    log.setCallBackFunction(record);
    log.setVerbosity(Logger::NORMAL);

    log << std::flush;
    EXPECT_EQ(sink, Calls({{"", 2}}));

    sink.clear();
    log.width(6);
    log << hex_upper << 255 << "ab" << std::ends;
    EXPECT_EQ(sink, Calls({{"", 2}, {"255", 2}, {"ab", 2}, {std::string(1, '\0'), 2}}));
}

TEST_F(LoggerFragments, ManipulatorsPersistOnTheOwnStream) {
    std::stringbuf buf;
    Logger log(&buf);
    log.setVerbosity(Logger::NORMAL);
    log << hex_upper << 255 << " " << 10 << std::ends << std::endl;
    EXPECT_EQ(buf.str(), std::string("FF A\0\n", 6));
}

TEST_F(LoggerRouting, CallbackFunctionBeforeObjectBeforeOwnStream) {
    std::stringbuf buf;
    Logger log(&buf);
    Recorder object;
    log.setVerbosity(Logger::NORMAL);

    log.setCallBackFunction(record);
    log.setCallBackObject(&object);
    log << "first";
    EXPECT_EQ(sink, Calls({{"first", 2}}));
    EXPECT_TRUE(object.calls.empty());

    log.setCallBackFunction(nullptr);
    log << Logger::ERROR << "second";
    EXPECT_EQ(object.calls, Calls({{"second", 1}}));
    EXPECT_EQ(sink.size(), 1u);

    log.setCallBackObject(nullptr);
    log << "third";
    EXPECT_EQ(buf.str(), "third");
    EXPECT_EQ(sink.size(), 1u);
    EXPECT_EQ(object.calls.size(), 1u);
}

TEST_F(LoggerRouting, CallbackExceptionPassesOut) {
    Logger log(nullptr);
    log.setVerbosity(Logger::NORMAL);
    log.setCallBackFunction(throwing_callback);
    EXPECT_THROW(log << "boom", std::runtime_error);
}

TEST_F(LoggerParent, ChildFollowsTheParentsThresholdAndCallbacks) {
    Logger parent(nullptr);
    std::stringbuf child_buf;
    Logger child(&child_buf);
    child.setVerbosity(Logger::QUIET);
    child.setParentLogger(&parent);
    parent.setVerbosity(Logger::VERBOSE);
    parent.setCallBackFunction(record);

    child << Logger::VERBOSE << "line";
    EXPECT_EQ(sink, Calls({{"line", 3}}));
    EXPECT_EQ(child_buf.str(), "");

    // A value set on the child is overwritten at the next element.
    child.setVerbosity(Logger::QUIET);
    child << "again";
    EXPECT_EQ(sink.size(), 2u);
    EXPECT_EQ(child.verbosity, Logger::VERBOSE);

    // A change at the parent takes effect at the next element.
    parent.setVerbosity(Logger::ERROR);
    child << "dropped";
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
    EXPECT_EQ(child.getCallBackFunction(), &record);
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
    EXPECT_EQ(child.lvl, Logger::VERBOSE);
    EXPECT_EQ(parent.lvl, Logger::ERROR);
    EXPECT_EQ(sink, Calls({{"parent", 1}, {"child", 3}}));
}

TEST_F(LoggerParent, GettersReflectTheRootOfTheChain) {
    Logger root(nullptr);
    Logger middle(nullptr);
    Logger leaf(nullptr);
    Recorder object;
    middle.setParentLogger(&root);
    leaf.setParentLogger(&middle);
    root.setVerbosity(Logger::VVERBOSE);
    root.setCallBackObject(&object);
    middle.setVerbosity(Logger::QUIET);

    EXPECT_EQ(leaf.getVerbosity(), Logger::VVERBOSE);
    EXPECT_EQ(leaf.getCallBackObject(), &object);
    EXPECT_EQ(leaf.getCallBackFunction(), nullptr);
    EXPECT_EQ(middle.verbosity, Logger::VVERBOSE);

    leaf << Logger::VVERBOSE << "deep";
    EXPECT_EQ(object.calls, Calls({{"deep", 4}}));
}

TEST_F(LoggerElements, CharactersYieldTheCharacterOnEveryRoute) {
    std::stringbuf buf;
    Logger log(&buf);
    log.setVerbosity(Logger::NORMAL);
    log << 'A' << static_cast<signed char>('B') << static_cast<unsigned char>('C');
    EXPECT_EQ(buf.str(), "ABC");

    log.setCallBackFunction(record);
    log << 'A' << static_cast<signed char>('B') << static_cast<unsigned char>('C');
    EXPECT_EQ(sink, Calls({{"A", 2}, {"B", 2}, {"C", 2}}));
}

TEST_F(LoggerElements, StringWithNul) {
    const std::string text("ab\0cd", 5);
    std::stringbuf buf;
    Logger log(&buf);
    log.setVerbosity(Logger::NORMAL);
    log << text;
    EXPECT_EQ(buf.str(), text);

    log.setCallBackFunction(record);
    log << text;
    EXPECT_EQ(sink, Calls({{"ab", 2}}));

    sink.clear();
    Recorder object;
    log.setCallBackFunction(nullptr);
    log.setCallBackObject(&object);
    log << text << std::string("\0x", 2);
    EXPECT_EQ(object.calls, Calls({{"ab", 2}, {"", 2}}));
}

TEST_F(LoggerElements, FormattingOnCallbackRoutesUsesFreshDefaults) {
    Logger log(nullptr);
    log.setCallBackFunction(record);
    log.setVerbosity(Logger::NORMAL);
    int x = 0;
    const void* p = &x;
    std::ostringstream pointer;
    pointer << p;
    const unsigned char utext[] = "u-text";
    const signed char stext[] = "s-text";
    log << true << static_cast<short>(-7) << static_cast<unsigned short>(7) << -1L << 2UL << 3U
        << 3.14159265 << 0.5f << static_cast<long double>(1e20L) << p << utext << stext;
    EXPECT_EQ(sink, Calls({{"1", 2},
                           {"-7", 2},
                           {"7", 2},
                           {"-1", 2},
                           {"2", 2},
                           {"3", 2},
                           {"3.14159", 2},
                           {"0.5", 2},
                           {"1e+20", 2},
                           {pointer.str(), 2},
                           {"u-text", 2},
                           {"s-text", 2}}));
}

TEST_F(LoggerElements, OwnStreamUsesTheLoggersFlags) {
    std::stringbuf buf;
    Logger log(&buf);
    log.setVerbosity(Logger::NORMAL);
    log.precision(3);
    log.setf(std::ios_base::boolalpha);
    log << true << " " << 3.14159265 << " ";
    log.width(5);
    log << "ab" << "|";
    log.width(4);
    log << std::string("cd") << "|";
    EXPECT_EQ(buf.str(), "true 3.14    ab|  cd|");
}

TEST_F(LoggerElements, FormatManipulatorsAreManipulatorsNotBooleans) {
    std::stringbuf buf;
    Logger log(&buf);
    log.setVerbosity(Logger::NORMAL);
    log << std::hex << 255 << std::dec << " " << 255;
    EXPECT_EQ(buf.str(), "ff 255");

    log.setCallBackFunction(record);
    log << std::hex << 255;
    EXPECT_EQ(sink, (Calls{{"", 2}, {"255", 2}}));
}

TEST_F(LoggerElements, StreamBufferDeliversEverythingReadFromIt) {
    const std::string text = "line one\nline two\n";
    std::stringbuf source_a(text);
    std::stringbuf buf;
    Logger log(&buf);
    log.setVerbosity(Logger::NORMAL);
    log << &source_a;
    EXPECT_EQ(buf.str(), text);

    std::stringbuf source_b(text);
    log.setCallBackFunction(record);
    log << &source_b;
    EXPECT_EQ(sink, Calls({{text, 2}}));
}
