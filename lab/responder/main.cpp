// nerivane-lab-responder: answers pings inside a lab namespace by per-address
// profiles. Started and stopped by lab/lab; see Responder.h.
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

#include "lab/responder/Responder.h"

namespace {

int usage() {
    std::fprintf(stderr,
                 "usage: nerivane-lab-responder --dir RUNDIR --role NAME [--tcp ADDRESS]... [--port N] "
                 "[--tun IFNAME]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    // Whatever the starter left open (a lock, a pipe a test runner waits on)
    // must not live as long as the responder.
    ::close_range(3, ~0U, 0);
    nerivane::lab::ResponderOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (i + 1 >= argc) return usage();
        const std::string value = argv[++i];
        if (argument == "--dir") {
            options.runDirectory = value;
        } else if (argument == "--role") {
            options.role = value;
        } else if (argument == "--tun") {
            options.tunName = value;
        } else if (argument == "--port") {
            const long port = std::strtol(value.c_str(), nullptr, 10);
            if (port <= 0 || port > 65535) return usage();
            options.tcpPort = static_cast<std::uint16_t>(port);
        } else if (argument == "--tcp") {
            const auto address = nerivane::ProbeAddress::parse(value);
            if (!address) {
                std::fprintf(stderr, "nerivane-lab-responder: not an address: %s\n", value.c_str());
                return 2;
            }
            options.tcpAddresses.push_back(*address);
        } else {
            return usage();
        }
    }
    if (options.runDirectory.empty() || options.role.empty()) return usage();
    try {
        nerivane::lab::Responder responder(options);
        responder.open();
        responder.run();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "nerivane-lab-responder: %s\n", error.what());
        return 1;
    }
    return 0;
}
