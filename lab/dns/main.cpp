// nerivane-lab-dns: the lab's DNS server as the client sees it. It listens on
// the lab resolver's address (UDP) in the internet namespace and passes each
// query to dnsmasq on that namespace's loopback, which holds the lab's names,
// after the profile's delay; `lab set dns` changes the profile while it runs:
//   answer    dnsmasq's reply
//   silent    nothing
//   servfail  a SERVFAIL reply of our own (the query with QR and the rcode)
//   refused   a REFUSED reply of our own
//   noaddress    NOERROR without any record
//   lyingcount   NOERROR claiming 65,535 answers, none present
//   selfpointer  one answer whose name is a compression pointer to itself
//   oversized    a 64 KB reply of address records (203.0.113.80 or
//                2001:db8:77::80) without the truncation flag; this server
//                takes no TCP, so a client that insists on TCP gets nothing
// The profile is one line, "delay=MS mode=MODE", re-read for every query.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Profile {
    int delayMilliseconds = 0;
    std::string mode = "answer";
};

Profile readProfile(const std::string& path) {
    Profile profile;
    std::ifstream file(path);
    std::string word;
    while (file >> word) {
        const auto equals = word.find('=');
        if (equals == std::string::npos) continue;
        const std::string key = word.substr(0, equals), value = word.substr(equals + 1);
        if (key == "delay") profile.delayMilliseconds = std::atoi(value.c_str());
        if (key == "mode") profile.mode = value;
    }
    return profile;
}

bool parse(const std::string& text, sockaddr_in& address) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) return false;
    address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(text.c_str() + colon + 1)));
    return inet_pton(AF_INET, text.substr(0, colon).c_str(), &address.sin_addr) == 1;
}

// dnsmasq's reply to the query, or nothing after two seconds.
std::vector<char> forward(const std::vector<char>& query, const sockaddr_in& upstream) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return {};
    std::vector<char> answer(4096);
    ssize_t got = -1;
    if (::sendto(fd, query.data(), query.size(), 0, reinterpret_cast<const sockaddr*>(&upstream), sizeof upstream) >= 0) {
        pollfd ready{fd, POLLIN, 0};
        if (::poll(&ready, 1, 2000) > 0) got = ::recv(fd, answer.data(), answer.size(), 0);
    }
    ::close(fd);
    if (got <= 0) return {};
    answer.resize(static_cast<std::size_t>(got));
    return answer;
}

// The end of the query's question: the name, then type and class.
std::size_t questionEnd(const std::vector<char>& query) {
    std::size_t at = 12;
    while (at < query.size() && query[at] != 0) at += static_cast<unsigned char>(query[at]) + 1u;
    return at + 5;
}

// The replies no honest server sends, built from the query alone.
std::vector<char> hostile(const std::vector<char>& query, const std::string& mode) {
    const std::size_t end = questionEnd(query);
    if (end > query.size()) return {};
    std::vector<char> answer(query.begin(), query.begin() + static_cast<std::ptrdiff_t>(end));
    answer[2] = static_cast<char>(0x80 | (answer[2] & 0x01));
    answer[3] = static_cast<char>(0x80);
    for (std::size_t i = 6; i < 12; ++i) answer[i] = 0;
    if (mode == "noaddress") return answer;
    if (mode == "lyingcount") {
        answer[6] = answer[7] = static_cast<char>(0xff);
        return answer;
    }
    const bool six = static_cast<unsigned char>(query[end - 3]) == 28;
    std::vector<char> record{static_cast<char>(0xc0), 0x0c, 0, static_cast<char>(six ? 28 : 1), 0, 1, 0, 0, 0, 60, 0,
                             static_cast<char>(six ? 16 : 4)};
    if (six) {
        const unsigned char address[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0x77, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x80};
        record.insert(record.end(), address, address + 16);
    } else {
        const unsigned char address[4] = {203, 0, 113, 80};
        record.insert(record.end(), address, address + 4);
    }
    if (mode == "selfpointer") {
        record[0] = static_cast<char>(0xc0 | end >> 8);
        record[1] = static_cast<char>(end & 0xff);
        answer.insert(answer.end(), record.begin(), record.end());
        answer[7] = 1;
        return answer;
    }
    // oversized: as many records as fit in 64 KB.
    std::size_t count = 0;
    while (answer.size() + record.size() <= 65000) {
        answer.insert(answer.end(), record.begin(), record.end());
        ++count;
    }
    answer[6] = static_cast<char>(count >> 8);
    answer[7] = static_cast<char>(count & 0xff);
    return answer;
}

}  // namespace

int main(int argc, char** argv) {
    std::string listen, upstreamText, profilePath;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string flag = argv[i];
        if (flag == "--listen") listen = argv[i + 1];
        if (flag == "--upstream") upstreamText = argv[i + 1];
        if (flag == "--profile") profilePath = argv[i + 1];
    }
    sockaddr_in local{}, upstream{};
    if (!parse(listen, local) || !parse(upstreamText, upstream) || profilePath.empty()) {
        std::fprintf(stderr, "usage: nerivane-lab-dns --listen ADDR:PORT --upstream ADDR:PORT --profile FILE\n");
        return 2;
    }
    const int server = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (server < 0 || ::bind(server, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        std::perror("nerivane-lab-dns: bind");
        return 1;
    }
    std::printf("nerivane-lab-dns: listening on %s, passing to %s\n", listen.c_str(), upstreamText.c_str());
    std::fflush(stdout);
    for (;;) {
        std::vector<char> query(4096);
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t got = ::recvfrom(server, query.data(), query.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (got < 12) continue;
        query.resize(static_cast<std::size_t>(got));
        const Profile profile = readProfile(profilePath);
        if (profile.mode == "silent") continue;
        // One thread a query: a delayed one must not hold up the next.
        std::thread([=] {
            std::this_thread::sleep_for(std::chrono::milliseconds(profile.delayMilliseconds));
            std::vector<char> answer;
            if (profile.mode == "servfail" || profile.mode == "refused") {
                answer = query;
                answer[2] = static_cast<char>(0x80 | (answer[2] & 0x79));
                answer[3] = static_cast<char>(0x80 | (profile.mode == "servfail" ? 2 : 5));
            } else if (profile.mode == "noaddress" || profile.mode == "lyingcount" || profile.mode == "selfpointer" ||
                       profile.mode == "oversized") {
                answer = hostile(query, profile.mode);
            } else {
                answer = forward(query, upstream);
            }
            if (!answer.empty())
                ::sendto(server, answer.data(), answer.size(), 0, reinterpret_cast<const sockaddr*>(&from), length);
        }).detach();
    }
}
