// The benchmark program's entry: the report goes to the original standard
// output, while stdout itself (where the event sink writes) is /dev/null.
#include <benchmark/benchmark.h>
#include <ext/stdio_filebuf.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "LogSocket.h"

int main(int argc, char** argv)
{
    const int reportFd = dup(STDOUT_FILENO);
    if (reportFd < 0 || std::freopen("/dev/null", "w", stdout) == nullptr) {
        std::perror("murox_bench: cannot send stdout to /dev/null");
        return 1;
    }
    // Before any thread exists: a mount namespace is per process.
    if (const char* szWhy = log_socket::EnterPrivateDev())
        std::cerr << "murox_bench: " << szWhy
                  << "; the syslog benchmarks with a receiving socket are skipped\n";

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    __gnu_cxx::stdio_filebuf<char> reportBuffer(reportFd, std::ios::out);
    std::ostream report(&reportBuffer);
    benchmark::ConsoleReporter reporter;
    reporter.SetOutputStream(&report);
    reporter.SetErrorStream(&std::cerr);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
