// Floods an lrdresponder with valid requests over loopback and tells how many
// answers came back and how fast. With --sources N the requests carry N forged
// source addresses (127.1.0.0 on, through a raw socket: root only) whose answers
// go nowhere; the responder's own counts then tell what it did. With --rate R the
// requests are spread evenly at R a second instead of sent as fast as possible.
//   lrdresponder_flood [--sources N] [--rate R] ADDRESS PORT COUNT
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::vector<uint8_t> Request(uint32_t tick)
{
    std::vector<uint8_t> bytes{2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0};
    std::memcpy(&bytes[8], &tick, 4);  // little-endian machines only, as is this bench
    return bytes;
}

// One IPv4+UDP packet from `source`:40000 carrying `payload`.
std::vector<uint8_t> Forged(uint32_t source, const sockaddr_in& to, const std::vector<uint8_t>& payload)
{
    std::vector<uint8_t> packet(28, 0);
    uint16_t total = htons(uint16_t(28 + payload.size())), udpLength = htons(uint16_t(8 + payload.size()));
    uint32_t from = htonl(source);
    uint16_t fromPort = htons(40000);
    packet[0] = 0x45;
    std::memcpy(&packet[2], &total, 2);
    packet[8] = 64;
    packet[9] = IPPROTO_UDP;
    std::memcpy(&packet[12], &from, 4);
    std::memcpy(&packet[16], &to.sin_addr, 4);
    std::memcpy(&packet[20], &fromPort, 2);
    std::memcpy(&packet[22], &to.sin_port, 2);
    std::memcpy(&packet[24], &udpLength, 2);
    packet.insert(packet.end(), payload.begin(), payload.end());
    return packet;
}

}  // namespace

int main(int argc, char** argv)
{
    unsigned sources = 1;
    double rate = 0;
    int first = 1;
    for (; first + 1 < argc && argv[first][0] == '-'; first += 2) {
        if (std::string(argv[first]) == "--sources")
            sources = unsigned(std::atoi(argv[first + 1]));
        else if (std::string(argv[first]) == "--rate")
            rate = std::atof(argv[first + 1]);
        else
            sources = 0;
    }
    if (argc - first != 3 || sources == 0 || rate < 0) {
        std::fprintf(stderr, "usage: lrdresponder_flood [--sources N] [--rate R] ADDRESS PORT COUNT\n");
        return 2;
    }
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(uint16_t(std::atoi(argv[first + 1])));
    inet_pton(AF_INET, argv[first], &to.sin_addr);
    long count = std::atol(argv[first + 2]);

    int fd = sources > 1 ? socket(AF_INET, SOCK_RAW, IPPROTO_RAW) : socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        std::perror("socket");
        return 1;
    }
    long answers = 0;
    uint8_t buffer[64];
    auto drain = [&] {
        while (sources == 1 && recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0)
            ++answers;
    };
    Clock::time_point start = Clock::now();
    for (long i = 0; i < count; ++i) {
        std::vector<uint8_t> payload = Request(uint32_t(i + 1));
        if (sources > 1) {
            std::vector<uint8_t> packet = Forged(0x7F010000u + uint32_t(i % sources), to, payload);
            sendto(fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        } else {
            // A full send queue makes the send fail; the request is sent again.
            while (sendto(fd, payload.data(), payload.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0)
                drain();
        }
        if (i % 64 == 0)
            drain();
        // Paced in groups of four, so that the responder wakes up for a few
        // requests at a time, as it does for real clients.
        if (rate > 0 && i % 4 == 3)
            std::this_thread::sleep_until(start + std::chrono::duration_cast<Clock::duration>(
                                                      std::chrono::duration<double>((i + 1) / rate)));
    }
    double sendSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    // Answers still on their way: until half a second passes without one.
    pollfd wait{fd, POLLIN, 0};
    while (sources == 1 && poll(&wait, 1, 500) == 1)
        drain();
    std::printf("sent %ld requests from %u source%s in %.2f s (%.0f a second); answers received %ld\n", count, sources,
                sources == 1 ? "" : "s", sendSeconds, count / sendSeconds, answers);
    close(fd);
    return 0;
}
