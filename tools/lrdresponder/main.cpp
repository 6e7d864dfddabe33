// lrdresponder: the reference responder for link-rate probes. See docs/protocol.md.
#include <iostream>
#include <string>
#include <vector>

#include "Responder.h"
#include "ResponderOptions.h"

int main(int argc, char** argv)
{
    using namespace lrdresponder;
    Options options;
    std::string problem = ParseOptions(std::vector<std::string>(argv + 1, argv + argc), options);
    if (!problem.empty()) {
        std::cerr << "lrdresponder: " << problem << "\n" << kUsage;
        return 2;
    }
    if (options.help) {
        std::cout << kUsage;
        return 0;
    }
    return Serve(options, std::cout, std::cerr);
}
