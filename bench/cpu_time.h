// cpu_time.h: processor time of this process, for the benchmarks that time calls on a shared
// machine: time spent waiting for a processor is no cost of the code measured, and the python3
// peers are measured the same way.
#ifndef ZOR_BENCH_CPU_TIME_H
#define ZOR_BENCH_CPU_TIME_H

#include <time.h>

namespace zor::bench {

inline double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

inline double CpuSecondsSince(double start) { return CpuSeconds() - start; }

}  // namespace zor::bench

#endif  // ZOR_BENCH_CPU_TIME_H
