// lrdresponder: the reference responder for link-rate probes, and with --check
// a client that probes responders for a monitoring host. See docs/responder.md.
#include <iostream>
#include <string>
#include <vector>

#include "Check.h"
#include "Net.h"
#include "Responder.h"
#include "ResponderOptions.h"
#include "ResponderVersion.h"

int main(int argc, char** argv)
{
    using namespace lrdresponder;
    std::vector<std::string> args(argv + 1, argv + argc);
    Options options;
    std::string problem = ParseOptions(args, options, net::ResolveIPv4);
    if (!problem.empty()) {
        // A faulty check is the monitoring host's fault, not the server's: unknown.
        if (IsCheck(args)) {
            std::cout << "LRDRESPONDER UNKNOWN - " << problem << "\n";
            return kCheckUnknown;
        }
        std::cerr << "lrdresponder: " << problem << "\n" << kUsage;
        return 2;
    }
    if (options.help) {
        std::cout << (options.check ? kCheckUsage : kUsage);
        return 0;
    }
    if (options.version) {
        std::cout << "lrdresponder " LRDRESPONDER_VERSION "\n";
        return 0;
    }
    if (options.check)
        return RunCheck(options, std::cout);
    return Serve(options, std::cout, std::cerr);
}
