// For the native servers that tests and benchmarks start from under Wine.
#pragma once

#include <sched.h>

// The servers stand for machines elsewhere. scripts/bench keeps Wine's
// processes on one core, and a program they start inherits that: a server
// would then take its time from the prober it answers. It takes every core
// back; where the system refuses, it stays where it was put.
inline void UseEveryCore()
{
    cpu_set_t every;
    CPU_ZERO(&every);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        CPU_SET(cpu, &every);
    sched_setaffinity(0, sizeof every, &every);
}
