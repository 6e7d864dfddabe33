// The sources lrdresponder refuses to answer.
#include <gtest/gtest.h>

#include "SourceCheck.h"

using namespace lrdresponder;

TEST(SourceCheck, RefusesItsOwnListeningAddressesPortZeroAndAddressesNoHostSendsFrom)
{
    constexpr uint32_t kArrivedAt = 0x7F000002;  // 127.0.0.2
    struct Case {
        uint32_t bind;
        net::Endpoint from;
        uint32_t arrivedAt;
        SourceVerdict verdict;
    };
    const Case cases[] = {
        {0, {0x7F000009, 1234}, kArrivedAt, SourceVerdict::Usable},
        {0, {0x7F000002, 5000}, kArrivedAt, SourceVerdict::OwnAddress},
        {0, {0x7F000002, 6000}, kArrivedAt, SourceVerdict::OwnAddress},
        // Its own address but not a port it listens on, and another host's
        // listening port: both may be detectors.
        {0, {0x7F000002, 5001}, kArrivedAt, SourceVerdict::Usable},
        {0, {0x7F000003, 5000}, kArrivedAt, SourceVerdict::Usable},
        // Bound to one address, which is its own even when the arrival address
        // is unknown.
        {0x7F000002, {0x7F000002, 6000}, 0, SourceVerdict::OwnAddress},
        {0, {0x7F000002, 6000}, 0, SourceVerdict::Usable},
        {0, {0x7F000009, 0}, kArrivedAt, SourceVerdict::Unusable},
        {0, {0xFFFFFFFF, 1234}, kArrivedAt, SourceVerdict::Unusable},
        {0, {0xE0000001, 1234}, kArrivedAt, SourceVerdict::Unusable},
        {0, {0xEFFFFFFF, 1234}, kArrivedAt, SourceVerdict::Unusable},
        {0, {0x00000000, 1234}, kArrivedAt, SourceVerdict::Unusable},
        {0, {0x00FFFFFF, 1234}, kArrivedAt, SourceVerdict::Unusable},
        {0, {0xDFFFFFFF, 1234}, kArrivedAt, SourceVerdict::Usable},
        {0, {0x01000000, 1234}, kArrivedAt, SourceVerdict::Usable},
    };
    for (const Case& c : cases) {
        SourceCheck check(c.bind, {5000, 6000});
        EXPECT_EQ(check.Judge(c.from, c.arrivedAt), c.verdict)
            << std::hex << c.from.address << ":" << std::dec << c.from.port << " bound to " << std::hex << c.bind;
    }
}
