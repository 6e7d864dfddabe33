// The candidate-list part of the benchmark as a native program: lrd_list_bench
// [--quick] [--header] prints its rows of the benchmark table.
#include <string.h>

#include "BenchTable.h"
#include "ListBench.h"

int main(int argc, char** argv)
{
    bool quick = false;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--quick") == 0)
            quick = true;
        else if (strcmp(argv[i], "--header") == 0)
            PrintTableHeader();
    }
    RunListBench("native", quick);
    return 0;
}
