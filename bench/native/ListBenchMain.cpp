// The candidate-list and summary parts of the benchmark as a native program:
// lrd_list_bench [--quick] [--header] [--up-to N] [--lists] [--summary] prints
// its rows of the benchmark table; without a choice of parts it runs both, and
// when only parts of the Wine benchmark are chosen (--network, --blocking,
// --choosing), neither.
#include <stdlib.h>
#include <string.h>

#include "BenchTable.h"
#include "ListBench.h"
#include "SummaryBench.h"

int main(int argc, char** argv)
{
    uint32_t largest = 65535;
    bool quick = false, lists = false, summary = false, others = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--quick") == 0)
            quick = true;
        else if (strcmp(argv[i], "--up-to") == 0 && i + 1 < argc)
            largest = (uint32_t)strtoul(argv[++i], nullptr, 10);
        else if (strcmp(argv[i], "--header") == 0)
            PrintTableHeader();
        else if (strcmp(argv[i], "--lists") == 0)
            lists = true;
        else if (strcmp(argv[i], "--summary") == 0)
            summary = true;
        else if (strcmp(argv[i], "--network") == 0 || strcmp(argv[i], "--blocking") == 0 ||
                 strcmp(argv[i], "--choosing") == 0)
            others = true;
    }
    if (!lists && !summary && !others)
        lists = summary = true;
    if (lists)
        RunListBench("native", quick, largest);
    if (summary)
        RunSummaryBench("native", quick, largest);
    return 0;
}
