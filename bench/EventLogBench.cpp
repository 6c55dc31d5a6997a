// The event log against its floors: formatting the same event and writing
// it as a line to stdout (which main sends to /dev/null), the same with the
// one heap copy of the text that the event contract requires, and one bare
// syslog() call per event.
#include <benchmark/benchmark.h>
#include <syslog.h>
#include <unistd.h>

#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "LogSocket.h"
#include "eventlog/MuroxLogEvent.h"
#include "eventlog/MuroxMsgSubscriber.h"
#include "hostapi/BMessage.h"

namespace {

// A typical event: 69 characters once formatted.
const char szFormat[] = "xdll: ext DLL %s loaded from %s, status %d";
const char szName[] = "webadmin";
const char szPath[] = "/usr/lib/murox/ext/libwebadmin.so";
// A long event's detail: with "xdll: %s" it makes 400 characters.
const std::string s_detail(394, 'd');

using TLogFn = void (*)(const char*, ...);

// One event of `chars` characters (11, 69 or 400) through `log`, which
// is either the floor or MuroxLogEvent: the same format and arguments.
template <TLogFn log> void LogOfLength(int64_t chars, int status)
{
    if (chars == 11)
        log("xdll: ready");
    else if (chars == 69)
        log(szFormat, szName, szPath, status);
    else
        log("xdll: %s", s_detail.c_str());
}

// Formatting into a stack buffer and one fprintf: what a line on stdout
// costs with nothing in between.
__attribute__((noinline, format(printf, 1, 2))) void FloorLog(const char* format, ...)
{
    char buffer[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    std::fprintf(stdout, "%s\n", buffer);
}

// The floor with the message's copy of the text: its length, an array new,
// the copy, and an array delete once the line is written. What is left
// between this and MuroxLogEvent is the library's own cost.
__attribute__((noinline, format(printf, 1, 2))) void CopyFloorLog(const char* format, ...)
{
    char buffer[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    const std::size_t length = std::strlen(buffer);
    char* const pCopy = new char[length + 1];
    std::memcpy(pCopy, buffer, length + 1);
    std::fprintf(stdout, "%s\n", pCopy);
    delete[] pCopy;
}

// The dispatcher with one sink subscribed, as the daemon sets it up.
class TSubscribedSink {
public:
    TSubscribedSink()
    {
        if (KAF::BMessageDispatcher::s_pInstance == nullptr)
            KAF::BMessageDispatcher::s_pInstance = new KAF::BMessageDispatcher;
        KAF::BMessageDispatcher::s_pInstance->Subscribe(&m_sink);
    }
    ~TSubscribedSink() { KAF::BMessageDispatcher::s_pInstance->Unsubscribe(&m_sink); }
    TSubscribedSink(const TSubscribedSink&) = delete;
    TSubscribedSink& operator=(const TSubscribedSink&) = delete;

    MuroxMsgSubscriber m_sink;
};

void EventLengths(benchmark::internal::Benchmark* pBenchmark)
{
    pBenchmark->ArgName("chars")->Arg(11)->Arg(69)->Arg(400);
}

void BM_LogEventStdoutFloor(benchmark::State& state)
{
    int status = 0;
    for (auto _ : state)
        LogOfLength<FloorLog>(state.range(0), ++status & 3);
    std::fflush(stdout);
}
BENCHMARK(BM_LogEventStdoutFloor)->Apply(EventLengths);

void BM_LogEventStdoutCopyFloor(benchmark::State& state)
{
    int status = 0;
    for (auto _ : state)
        LogOfLength<CopyFloorLog>(state.range(0), ++status & 3);
    std::fflush(stdout);
}
BENCHMARK(BM_LogEventStdoutCopyFloor)->Apply(EventLengths);

void BM_LogEventStdout(benchmark::State& state)
{
    TSubscribedSink subscribed;
    int status = 0;
    for (auto _ : state)
        LogOfLength<MuroxLogEvent>(state.range(0), ++status & 3);
    std::fflush(stdout);
}
BENCHMARK(BM_LogEventStdout)->Apply(EventLengths);

// Argument 1: /dev/log is a socket that a thread drains; 0: no /dev/log,
// so every record is dropped after a failed connection. Returns false,
// having skipped the benchmark, when that cannot be arranged safely.
bool ArrangeLog(benchmark::State& state, const log_socket::TReceiver* pReceiver)
{
    if (pReceiver != nullptr && pReceiver->Error() != nullptr) {
        state.SkipWithError(pReceiver->Error());
        return false;
    }
    if (pReceiver == nullptr && !log_socket::HavePrivateDev() && access("/dev/log", F_OK) == 0) {
        state.SkipWithError("/dev/log exists and there is no private /dev to hide it");
        return false;
    }
    return true;
}

// How many records reached the socket, per iteration (1 when all did).
void CountDelivered(benchmark::State& state, const log_socket::TReceiver* pReceiver)
{
    if (pReceiver == nullptr)
        return;
    // Let the thread read what is still queued.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    state.counters["delivered"] = benchmark::Counter(static_cast<double>(pReceiver->Received()),
                                                     benchmark::Counter::kAvgIterations);
}

void BM_SyslogFloor(benchmark::State& state)
{
    const bool withSocket = state.range(0) != 0;
    const std::unique_ptr<log_socket::TReceiver> pReceiver(withSocket ? new log_socket::TReceiver
                                                                      : nullptr);
    if (ArrangeLog(state, pReceiver.get())) {
        // Opened once, as a program that keeps its log open would.
        openlog("murox", LOG_PID, LOG_DAEMON);
        int status = 0;
        for (auto _ : state)
            syslog(LOG_ERR, szFormat, szName, szPath, ++status & 3);
        closelog();
        CountDelivered(state, pReceiver.get());
    }
}
BENCHMARK(BM_SyslogFloor)->ArgName("socket")->Arg(0)->Arg(1);

void BM_LogEventSyslog(benchmark::State& state)
{
    const bool withSocket = state.range(0) != 0;
    const std::unique_ptr<log_socket::TReceiver> pReceiver(withSocket ? new log_socket::TReceiver
                                                                      : nullptr);
    if (ArrangeLog(state, pReceiver.get())) {
        TSubscribedSink subscribed;
        subscribed.m_sink.LogToSyslog();
        int status = 0;
        for (auto _ : state)
            MuroxLogEvent(szFormat, szName, szPath, ++status & 3);
        CountDelivered(state, pReceiver.get());
    }
}
BENCHMARK(BM_LogEventSyslog)->ArgName("socket")->Arg(0)->Arg(1);

} // namespace
