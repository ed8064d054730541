#include "NerivaneKit/lookup/SystemResolvers.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <systemd/sd-bus.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <fstream>
#include <memory>
#include <sstream>

#include "NerivaneKit/platform/SdBusHandles.h"

namespace nerivane {
namespace {

constexpr const char* resolvedName = "org.freedesktop.resolve1";
constexpr const char* resolvedPath = "/org/freedesktop/resolve1";
constexpr const char* managerInterface = "org.freedesktop.resolve1.Manager";
constexpr std::uint64_t callTimeoutMicroseconds = 2'000'000;


bool isNumeric(const std::string& address) {
    std::array<unsigned char, 16> bytes{};
    return inet_pton(AF_INET, address.c_str(), bytes.data()) == 1 ||
           inet_pton(AF_INET6, address.c_str(), bytes.data()) == 1;
}

void addOnce(std::vector<ResolverServer>& servers, ResolverServer server) {
    if (std::find(servers.begin(), servers.end(), server) == servers.end()) servers.push_back(std::move(server));
}

BusHandle openBus(const std::optional<std::string>& address) {
    sd_bus* raw = nullptr;
    if (!address) {
        if (sd_bus_open_system(&raw) < 0) return nullptr;
        return BusHandle(raw);
    }
    if (sd_bus_new(&raw) < 0) return nullptr;
    BusHandle bus(raw);
    if (sd_bus_set_address(raw, address->c_str()) < 0 || sd_bus_set_bus_client(raw, 1) < 0 || sd_bus_start(raw) < 0)
        return nullptr;
    return bus;
}

}  // namespace

std::vector<ResolverServer> SystemResolvers::parseResolvConf(std::string_view text) {
    std::vector<ResolverServer> servers;
    std::istringstream lines{std::string(text)};
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string keyword, address;
        if (!(words >> keyword >> address) || keyword != "nameserver") continue;
        ResolverServer server;
        if (const auto percent = address.find('%'); percent != std::string::npos) {
            server.link = address.substr(percent + 1);
            address.resize(percent);
        }
        server.address = address;
        if (isNumeric(server.address)) addOnce(servers, std::move(server));
    }
    return servers;
}

bool SystemResolvers::isStub(const ResolverServer& server) {
    return server.address == "127.0.0.53" || server.address == "127.0.0.54";
}

std::optional<std::vector<ResolverServer>> SystemResolvers::readResolved(const std::optional<std::string>& busAddress) {
    const BusHandle bus = openBus(busAddress);
    if (!bus) return std::nullopt;
    sd_bus_message* raw = nullptr;
    if (sd_bus_message_new_method_call(bus.get(), &raw, resolvedName, resolvedPath, "org.freedesktop.DBus.Properties",
                                       "Get") < 0)
        return std::nullopt;
    MessageHandle call(raw);
    // Asking must not start resolved on a system that does not run it.
    sd_bus_message_set_auto_start(call.get(), 0);
    if (sd_bus_message_append(call.get(), "ss", managerInterface, "DNS") < 0) return std::nullopt;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    ErrorOwner errorOwner(&error);
    raw = nullptr;
    if (sd_bus_call(bus.get(), call.get(), callTimeoutMicroseconds, &error, &raw) < 0) return std::nullopt;
    MessageHandle reply(raw);

    // a(iiay): link index (0 for global servers), address family, address bytes.
    std::vector<ResolverServer> servers;
    if (sd_bus_message_enter_container(reply.get(), 'v', "a(iiay)") < 0) return std::nullopt;
    if (sd_bus_message_enter_container(reply.get(), 'a', "(iiay)") < 0) return std::nullopt;
    while (sd_bus_message_enter_container(reply.get(), 'r', "iiay") > 0) {
        std::int32_t link = 0, family = 0;
        const void* bytes = nullptr;
        std::size_t size = 0;
        if (sd_bus_message_read(reply.get(), "ii", &link, &family) < 0) return std::nullopt;
        if (sd_bus_message_read_array(reply.get(), 'y', &bytes, &size) < 0) return std::nullopt;
        if (sd_bus_message_exit_container(reply.get()) < 0) return std::nullopt;
        const bool fits = (family == AF_INET && size == 4) || (family == AF_INET6 && size == 16);
        if (!fits) continue;
        std::array<char, INET6_ADDRSTRLEN> text{};
        if (inet_ntop(family, bytes, text.data(), text.size()) == nullptr) continue;
        ResolverServer server;
        server.address = text.data();
        if (link > 0) {
            std::array<char, IF_NAMESIZE> name{};
            server.link = if_indextoname(static_cast<unsigned>(link), name.data()) != nullptr
                              ? std::string(name.data())
                              : std::to_string(link);
        }
        addOnce(servers, std::move(server));
    }
    return servers;
}

std::vector<ResolverServer> SystemResolvers::read(const Sources& sources) {
    std::ifstream file(sources.resolvConf);
    std::ostringstream text;
    text << file.rdbuf();
    auto servers = parseResolvConf(text.str());
    const bool stubOnly =
        !servers.empty() && std::all_of(servers.begin(), servers.end(), [](const auto& s) { return isStub(s); });
    if (!stubOnly) return servers;
    if (auto resolved = readResolved(sources.busAddress); resolved && !resolved->empty()) return *resolved;
    return servers;
}

}  // namespace nerivane
