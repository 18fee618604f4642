// zor_bench: the reply and poll benchmarks, with a stand-in system logger
// when the machine has none.
#include <stdio.h>

#include <string>

#include <benchmark/benchmark.h>

#include "bench/bench_support.h"

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    zorbench::SystemLogSink sink;
    std::string note;
    bool logging = sink.start(&note);
    fprintf(stderr, "%s\n", note.c_str());
    if (!logging) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
