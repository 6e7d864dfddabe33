#include "SourceCheck.h"

namespace lrdresponder {

namespace {

// 0.0.0.0/8 ("this network"; a reply to 0.0.0.0 reaches the sending host itself),
// 224.0.0.0/4 (multicast) and 255.255.255.255 (broadcast).
bool UnusableAddress(uint32_t address)
{
    return (address >> 24) == 0 || (address >> 28) == 0xE || address == 0xFFFFFFFFu;
}

}  // namespace

SourceCheck::SourceCheck(uint32_t bindAddress, const std::vector<uint16_t>& ports)
    : m_bindAddress(bindAddress), m_listening(65536, false)
{
    for (uint16_t port : ports)
        m_listening[port] = true;
}

SourceVerdict SourceCheck::Judge(const net::Endpoint& from, uint32_t arrivedAt) const
{
    if (from.port == 0 || UnusableAddress(from.address))
        return SourceVerdict::Unusable;
    bool ownAddress = from.address == arrivedAt || (m_bindAddress != 0 && from.address == m_bindAddress);
    if (ownAddress && m_listening[from.port])
        return SourceVerdict::OwnAddress;
    return SourceVerdict::Usable;
}

}  // namespace lrdresponder
