// The sources a responder never answers, whatever the datagram: answering them
// would either talk to itself or hurt someone who did not ask.
#pragma once

#include <cstdint>
#include <vector>

#include "Net.h"

namespace lrdresponder {

enum class SourceVerdict {
    Usable,
    OwnAddress,  // one of the responder's own listening addresses and ports
    Unusable,    // port 0, or an address no single host sends from
};

class SourceCheck {
public:
    // `bindAddress` 0 stands for every local address.
    SourceCheck(uint32_t bindAddress, const std::vector<uint16_t>& ports);

    // `arrivedAt` is the local address the datagram was sent to, 0 when unknown.
    SourceVerdict Judge(const net::Endpoint& from, uint32_t arrivedAt) const;

private:
    uint32_t m_bindAddress;
    std::vector<bool> m_listening;  // indexed by port
};

}  // namespace lrdresponder
