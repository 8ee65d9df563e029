// Micro-benchmarks of the library's hot paths: the base64 codecs on 1 KiB,
// the judging of reply lines, and log statements that the threshold drops
// (as every transcript statement is dropped when a host logs nothing).
#include <benchmark/benchmark.h>

#include <string>

#include "algorithm.h"
#include "exception.h"
#include "logger.h"
#include "smtp.h"

namespace {

std::string kibibyte() {
    std::string s(1024, '\0');
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<char>((i * 131 + 7) & 0xff);
    return s;
}

void BM_Base64Encode1KiB(benchmark::State& state) {
    const std::string in = kibibyte();
    for (auto _ : state)
        benchmark::DoNotOptimize(Algorithm::encode(in, Algorithm::BASE64));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 1024);
}
BENCHMARK(BM_Base64Encode1KiB);

void BM_Base64Decode1KiB(benchmark::State& state) {
    const std::string in = Algorithm::encode(kibibyte(), Algorithm::BASE64);
    for (auto _ : state)
        benchmark::DoNotOptimize(Algorithm::decode(in, Algorithm::BASE64));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 1024);
}
BENCHMARK(BM_Base64Decode1KiB);

// Accepted reply lines: the codes a session sees per message, the greeting
// and the reply to QUIT.
const char* const ACCEPTED[] = {"220 mx.example.test ESMTP", "250 2.1.0 Ok",
                                "354 End data with <CR><LF>.<CR><LF>",
                                "250 2.0.0 Ok: queued as 4F2D81C0A2", "221 2.0.0 Bye"};

void BM_EvalResponseAccepted(benchmark::State& state) {
    SMTP smtp("bench.test", "a@bench.test", "127.0.0.1", 25);
    const std::string line = ACCEPTED[state.range(0)];
    const bool is_221_fatal = line.compare(0, 3, "221") != 0;
    for (auto _ : state)
        smtp.evalResponse(line, is_221_fatal);
    state.SetLabel(line.substr(0, 3));
}
BENCHMARK(BM_EvalResponseAccepted)->DenseRange(0, 4);

// A refused line: the failure is thrown and caught.
void BM_EvalResponseRefused(benchmark::State& state) {
    SMTP smtp("bench.test", "a@bench.test", "127.0.0.1", 25);
    const std::string line = "550 5.1.1 <b@example.test>: Recipient address rejected";
    for (auto _ : state) {
        try {
            smtp.evalResponse(line, true);
        } catch (const TransferException& e) {
            benchmark::DoNotOptimize(e.index);
        }
    }
}
BENCHMARK(BM_EvalResponseRefused);

// A notice line: logged at ERROR, which the default threshold drops.
void BM_EvalResponseNotice(benchmark::State& state) {
    SMTP smtp("bench.test", "a@bench.test", "127.0.0.1", 25);
    const std::string line = "251 2.1.5 user not local; will forward";
    for (auto _ : state)
        smtp.evalResponse(line, true);
}
BENCHMARK(BM_EvalResponseNotice);

// One element that a new logger (threshold QUIET) drops.
void BM_LogDroppedElement(benchmark::State& state) {
    Logger log;
    log << Logger::VERBOSE;
    for (auto _ : state)
        log << "250 2.1.0 Ok";
}
BENCHMARK(BM_LogDroppedElement);

// A transcript statement as the transport writes it (level, peer name,
// separator, line, end of line), dropped, on a logger that follows a
// parent, as a session's transport follows the session.
void BM_LogDroppedTranscript(benchmark::State& state) {
    Logger session;
    Logger transport;
    transport.setParentLogger(&session);
    const std::string host = "mx.example.test";
    const std::string line = "250 2.0.0 Ok: queued as 4F2D81C0A2\r";
    for (auto _ : state)
        transport << Logger::VERBOSE << host << ":\t" << line << std::endl;
}
BENCHMARK(BM_LogDroppedTranscript);

}  // namespace

BENCHMARK_MAIN();
