// The candidate list: random placement with its exact draws, the best-first order,
// the caller's result layout and the making of candidates from server records.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "CandidateList.h"
#include "Random.h"
#include "ReferenceRandom.h"

namespace {

// Fails the next allocation through operator new once armed. The runtime's
// operator delete frees with free, which matches the malloc below.
bool g_failNextAllocation = false;

}  // namespace

void* operator new(size_t size)
{
    if (g_failNextAllocation) {
        g_failNextAllocation = false;
        throw std::bad_alloc();
    }
    void* block = malloc(size != 0 ? size : 1);
    if (block == nullptr)
        throw std::bad_alloc();
    return block;
}


namespace {

IPInfo Info(const char* ip, uint32_t rtt, uint32_t load)
{
    IPInfo info;
    memset(&info, 0, sizeof info);
    strcpy(info.szIP, ip);
    info.dwRTT = rtt;
    info.dwLoad = load;
    return info;
}

ServerInfo Server(const char* address, uint16_t port)
{
    ServerInfo server;
    memset(&server, 0x5A, sizeof server);
    strcpy(server.szAddr, address);
    server.ushPort = port;
    return server;
}

std::vector<std::string> Addresses(const CandidateList& list)
{
    std::vector<std::string> result;
    list.Walk([&](const IPInfo& info) { result.push_back(info.szIP); });
    return result;
}

TEST(CandidateList, InsertRandomNeverAppendsToANonEmptyList)
{
    for (uint32_t seed = 1; seed <= 200; ++seed) {
        SeedRandom(seed);
        CandidateList list;
        ASSERT_TRUE(list.InsertRandom(Info("first", 1, 1)));
        ASSERT_TRUE(list.InsertRandom(Info("second", 1, 1)));
        EXPECT_EQ(Addresses(list), (std::vector<std::string>{"second", "first"}))
            << "into one candidate the new record always goes first";
        for (int n = 2; n < 7; ++n) {
            ASSERT_TRUE(list.InsertRandom(Info("new", 1, 1)));
            std::vector<std::string> order = Addresses(list);
            ASSERT_EQ(order.size(), (size_t)n + 1);
            EXPECT_NE(order.back(), "new") << "seed " << seed << ", " << n << " before";
            // Rename it so that the next round finds only its own new record.
            list.Modify([](IPInfo& info) {
                if (strcmp(info.szIP, "new") == 0)
                    strcpy(info.szIP, "old");
            });
        }
    }
}

// Places the servers by the rule, with draws from the reference generator, and
// counts the draws.
std::vector<std::string> ExpectedFill(uint32_t seed, const std::vector<std::string>& servers, int* draws)
{
    ReferenceRandom reference(seed);
    std::vector<std::string> order;
    *draws = 0;
    for (const std::string& server : servers) {
        size_t position = 0;
        if (!order.empty()) {
            for (;;) {
                ++*draws;
                if ((size_t)(reference.Next() % (int32_t)order.size()) <= position)
                    break;
                ++position;
            }
        }
        order.insert(order.begin() + position, server);
        ++*draws;
        if (reference.Next() % 2 != 0)
            std::reverse(order.begin(), order.end());
    }
    return order;
}

TEST(CandidateList, FillingConsumesExactlyTheCountedDraws)
{
    const std::vector<std::string> servers = {"10.0.0.1", "10.0.0.2", "10.0.0.3"};
    std::vector<std::vector<std::string>> ordersSeen;
    for (uint32_t seed = 1; seed <= 60; ++seed) {
        int draws = 0;
        std::vector<std::string> expected = ExpectedFill(seed, servers, &draws);

        SeedRandom(seed);
        CandidateList list;
        for (const std::string& address : servers)
            ASSERT_TRUE(list.InsertServer(Server(address.c_str(), 8000)));
        EXPECT_EQ(Addresses(list), expected) << "seed " << seed;

        // The generator must stand exactly after the counted draws.
        ReferenceRandom reference(seed);
        for (int i = 0; i < draws; ++i)
            reference.Next();
        EXPECT_EQ(DrawRandom(), reference.Next()) << "seed " << seed;
        if (std::find(ordersSeen.begin(), ordersSeen.end(), expected) == ordersSeen.end())
            ordersSeen.push_back(expected);
    }
    EXPECT_EQ(ordersSeen.size(), 6u) << "the seeds reach every order of three servers";
}

TEST(CandidateList, InsertionsWithoutMemoryChangeNothing)
{
    // One list is filled with the next allocation failing before every
    // insertion, and a refused insertion is made again without; another list is
    // filled plainly. Both must end in the same order with the generator at the
    // same place: a refused insertion changed nothing and spent no draw.
    std::vector<ServerInfo> servers;
    for (int i = 0; i < 40; ++i)
        servers.push_back(Server(("10.0.0." + std::to_string(i)).c_str(), 1));

    SeedRandom(77);
    CandidateList failing;
    int refusals = 0;
    for (const ServerInfo& server : servers) {
        std::vector<std::string> before = Addresses(failing);
        g_failNextAllocation = true;
        bool inserted = failing.InsertServer(server);
        g_failNextAllocation = false;
        if (!inserted) {
            ++refusals;
            EXPECT_EQ(Addresses(failing), before);
            ASSERT_TRUE(failing.InsertServer(server));
        }
    }
    std::vector<std::string> order = Addresses(failing);
    int32_t nextDraw = DrawRandom();

    SeedRandom(77);
    CandidateList plain;
    for (const ServerInfo& server : servers)
        ASSERT_TRUE(plain.InsertServer(server));
    EXPECT_EQ(Addresses(plain), order);
    EXPECT_EQ(DrawRandom(), nextDraw);
    EXPECT_GT(refusals, 0) << "some insertion needed memory";
}

TEST(CandidateList, BetterMeansLowerProductOrLowerLoadAtZeroRtt)
{
    EXPECT_TRUE(IPInfoLess(Info("", 0, 5), Info("", 0, 7)));
    EXPECT_FALSE(IPInfoLess(Info("", 0, 7), Info("", 0, 5)));
    EXPECT_TRUE(IPInfoLess(Info("", 10, 100), Info("", 20, 100)));
    EXPECT_FALSE(IPInfoLess(Info("", 100, 100), Info("", 5000, 1)));
    EXPECT_TRUE(IPInfoLess(Info("", 5000, 1), Info("", 100, 100)));
    EXPECT_TRUE(IPInfoLess(Info("", 0, 100), Info("", 1, 1)));
    EXPECT_FALSE(IPInfoLess(Info("", 1, 1), Info("", 0, 100)));
    EXPECT_FALSE(IPInfoLess(Info("", 20, 50), Info("", 50, 20))) << "equal products";
    EXPECT_FALSE(IPInfoLess(Info("", 50, 20), Info("", 20, 50)));
}

TEST(CandidateList, LargeProductsDoNotWrapToTheFront)
{
    // 65536 * 65536 is 0 modulo 2^32; the slow server must still rank last.
    EXPECT_FALSE(IPInfoLess(Info("", 65536, 65536), Info("", 1, 1)));
    EXPECT_TRUE(IPInfoLess(Info("", 1, 1), Info("", 65536, 65536)));
    EXPECT_TRUE(IPInfoLess(Info("", 0xffffffffu, 0xfffffffeu), Info("", 0xffffffffu, 0xffffffffu)));

    SeedRandom(5);
    CandidateList list;
    list.InsertRandom(Info("slow", 65536, 65536));
    list.InsertRandom(Info("silent", 5000, 100));
    list.InsertRandom(Info("fast", 3, 1));
    list.Sort();
    EXPECT_EQ(Addresses(list), (std::vector<std::string>{"fast", "silent", "slow"}));
}

TEST(CandidateList, SortIsStableOnEqualProducts)
{
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        SeedRandom(seed);
        CandidateList list;
        list.InsertRandom(Info("never", 5000, 100));
        for (const IPInfo& info : {Info("p1", 100, 10), Info("p2", 10, 100), Info("p3", 50, 20),
                                   Info("p4", 1000, 1), Info("zero", 0, 3), Info("zero-light", 0, 1)})
            list.InsertRandom(info);
        std::vector<std::string> before = Addresses(list);

        // The product-1000 group in its order from before the sort.
        std::vector<std::string> expected = {"zero-light", "zero"};
        for (const std::string& address : before)
            if (address[0] == 'p')
                expected.push_back(address);
        expected.push_back("never");

        list.Sort();
        EXPECT_EQ(Addresses(list), expected) << "seed " << seed;
        list.Sort();
        EXPECT_EQ(Addresses(list), expected) << "sorting a sorted list changes nothing";
    }
}

const unsigned char kPoison = 0xCD;

TEST(CandidateList, WriteOutTouchesOnlyTextPortCountRttAndLoad)
{
    CandidateList list;
    list.InsertRandom(Info("10.0.0.1", 5000, 100));
    list.InsertRandom(Info("192.168.100.200", 5000, 100));  // into one candidate: goes first
    list.Modify([](IPInfo& info) {
        info.ushPort = 0x1234;
        info.ushUnused = 0xFFFF;  // never shown to the caller
        if (info.szIP[0] == '1' && info.szIP[1] == '9') {
            info.dwRTT = 0x01020304;
            info.dwLoad = 0x0A0B0C0D;
        }
    });

    const size_t kRecords = 4 + 28 * 2;
    unsigned char buffer[kRecords + 8];
    memset(buffer, kPoison, sizeof buffer);
    list.WriteOut(reinterpret_cast<IPInfoArray*>(buffer));

    std::vector<unsigned char> expected(sizeof buffer, kPoison);
    const unsigned char count[] = {2, 0, 0, 0};
    memcpy(&expected[0], count, 4);
    const char first[] = "192.168.100.200";
    memcpy(&expected[4], first, sizeof first);
    // Port, two zero bytes, round-trip time, load.
    const unsigned char firstNumbers[] = {0x34, 0x12, 0, 0, 0x04, 0x03, 0x02, 0x01, 0x0D, 0x0C, 0x0B, 0x0A};
    memcpy(&expected[4 + 16], firstNumbers, sizeof firstNumbers);
    const char second[] = "10.0.0.1";
    memcpy(&expected[32], second, sizeof second);
    const unsigned char secondNumbers[] = {0x34, 0x12, 0, 0, 0x88, 0x13, 0, 0, 100, 0, 0, 0};
    memcpy(&expected[32 + 16], secondNumbers, sizeof secondNumbers);

    for (size_t i = 0; i < sizeof buffer; ++i)
        EXPECT_EQ(buffer[i], expected[i]) << "byte " << i;
}

TEST(CandidateList, MakeCandidateUsesOnlyAddressesThatFit)
{
    IPInfo fits = MakeCandidate(Server("255.255.255.255", 8000));  // 15 characters
    EXPECT_STREQ(fits.szIP, "255.255.255.255");
    EXPECT_EQ(fits.ushPort, 8000);
    EXPECT_EQ(fits.ushUnused, 0);
    EXPECT_EQ(fits.dwRTT, 5000u);
    EXPECT_EQ(fits.dwLoad, 100u);

    IPInfo shortOne = MakeCandidate(Server("1.2.3.4", 1));
    EXPECT_STREQ(shortOne.szIP, "1.2.3.4");
    for (size_t i = strlen("1.2.3.4"); i < sizeof shortOne.szIP; ++i)
        EXPECT_EQ(shortOne.szIP[i], '\0') << "byte " << i;

    const IPInfo empty = {};
    IPInfo tooLong = MakeCandidate(Server("255.255.255.2550", 9));  // 16 characters
    EXPECT_EQ(memcmp(tooLong.szIP, empty.szIP, sizeof empty.szIP), 0);
    EXPECT_EQ(tooLong.ushPort, 9);
    EXPECT_EQ(tooLong.dwRTT, 5000u);

    ServerInfo unterminated = Server("", 7);
    memset(unterminated.szAddr, '7', sizeof unterminated.szAddr);
    IPInfo noEnd = MakeCandidate(unterminated);
    EXPECT_EQ(memcmp(noEnd.szIP, empty.szIP, sizeof empty.szIP), 0);
    EXPECT_EQ(noEnd.ushPort, 7);

    CandidateList list;
    ASSERT_TRUE(list.InsertServer(Server("255.255.255.2550", 1)));
    EXPECT_EQ(Addresses(list), (std::vector<std::string>{""})) << "still probed and listed";
}

}  // namespace
