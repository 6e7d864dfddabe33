// lrd_bench [--quick] [--header] [--up-to N] [--seed N] [--lists] [--summary] [--network] [--blocking]
// [--phases] [--choosing]: the benchmark under Wine; --seed draws the choosing part's worlds. Without a choice of parts it runs them all. lrd_bench --burn
// is one of the busy processes that the blocking part starts. Its rows belong to the one table that
// scripts/bench prints; the choosing part prints a table of its own after it.
#include <stdlib.h>
#include <string.h>

#include <exception>

#include "BenchTable.h"
#include "ChoosingBench.h"
#include "ListBench.h"
#include "NetworkBench.h"
#include "SummaryBench.h"

int main(int argc, char** argv)
{
    uint32_t largest = 65535;
    uint64_t seed = 0;
    bool quick = false, lists = false, summary = false, network = false, blocking = false, phases = false,
         choosing = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--quick") == 0)
            quick = true;
        else if (strcmp(argv[i], "--up-to") == 0 && i + 1 < argc)
            largest = (uint32_t)strtoul(argv[++i], nullptr, 10);
        else if (strcmp(argv[i], "--seed") == 0 && i + 1 < argc)
            seed = strtoull(argv[++i], nullptr, 10);
        else if (strcmp(argv[i], "--header") == 0)
            PrintTableHeader();
        else if (strcmp(argv[i], "--lists") == 0)
            lists = true;
        else if (strcmp(argv[i], "--summary") == 0)
            summary = true;
        else if (strcmp(argv[i], "--network") == 0)
            network = true;
        else if (strcmp(argv[i], "--blocking") == 0)
            blocking = true;
        else if (strcmp(argv[i], "--phases") == 0)
            phases = true;
        else if (strcmp(argv[i], "--choosing") == 0)
            choosing = true;
        else if (strcmp(argv[i], "--burn") == 0) {
            Burn();
            return 0;
        }
    }
    if (!lists && !summary && !network && !blocking && !phases && !choosing)
        lists = summary = network = blocking = phases = choosing = true;
    try {
        if (lists)
            RunListBench("wine", quick, largest);
        if (summary)
            RunSummaryBench("wine", quick, largest);
        if (network || blocking || phases)
            RunNetworkBench(quick, network, blocking, phases, largest);
        if (choosing)
            RunChoosingBench(quick, seed);
    } catch (const std::exception& e) {
        fprintf(stderr, "lrd_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
