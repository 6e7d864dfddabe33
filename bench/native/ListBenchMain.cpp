// The candidate-list part of the benchmark as a native program: lrd_list_bench
// [--quick] [--header] [--up-to N] prints its rows of the benchmark table.
#include <stdlib.h>
#include <string.h>

#include "BenchTable.h"
#include "ListBench.h"

int main(int argc, char** argv)
{
    uint32_t largest = 65535;
    bool quick = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--quick") == 0)
            quick = true;
        else if (strcmp(argv[i], "--up-to") == 0 && i + 1 < argc)
            largest = (uint32_t)strtoul(argv[++i], nullptr, 10);
        else if (strcmp(argv[i], "--header") == 0)
            PrintTableHeader();
    }
    RunListBench("native", quick, largest);
    return 0;
}
