#include "Impairment.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "AddressText.h"

namespace {

// Longest delay the program holds an answer for: far beyond any time limit the
// detector reports in, and short enough that nothing piles up.
constexpr double kMaxDelayMs = 60000;
constexpr double kSpikeShape = 1.5;

bool ParseEndpoint(const std::string& text, uint32_t& address, uint16_t& port)
{
    size_t colon = text.rfind(':');
    uint64_t number = 0;
    if (colon == std::string::npos || !lrdtools::ParseAddress(text.substr(0, colon), address) ||
        !lrdtools::ParseDecimal(text.substr(colon + 1), 1, 65535, number))
        return false;
    port = uint16_t(number);
    return true;
}

bool ParseShare(const std::string& text, double& share)
{
    char* end = nullptr;
    share = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0' && share >= 0 && share <= 1;
}

bool ParseMs(const std::string& text, unsigned& ms)
{
    uint64_t number = 0;
    if (!lrdtools::ParseDecimal(text, 0, 60000, number))
        return false;
    ms = unsigned(number);
    return true;
}

// "SHARE/MS".
bool ParseShareAndMs(const std::string& text, double& share, unsigned& ms)
{
    size_t slash = text.find('/');
    return slash != std::string::npos && ParseShare(text.substr(0, slash), share) &&
           ParseMs(text.substr(slash + 1), ms);
}

bool ParseField(const std::string& key, const std::string& value, ImpairedServer& s)
{
    uint64_t number = 0;
    uint32_t relay = 0;
    bool ok = false;
    if (key == "load") {
        ok = lrdtools::ParseDecimal(value, 0, UINT32_MAX, number);
        s.load = uint32_t(number);
    } else if (key == "delay") {
        ok = ParseMs(value, s.delayMs);
    } else if (key == "jitter") {
        ok = ParseMs(value, s.jitterMs);
    } else if (key == "loss") {
        ok = ParseShare(value, s.loss);
    } else if (key == "spike") {
        ok = ParseShareAndMs(value, s.spike, s.spikeMs);
    } else if (key == "dup") {
        ok = ParseShare(value, s.duplicate);
    } else if (key == "reorder") {
        ok = ParseShareAndMs(value, s.reorder, s.reorderMs);
    } else if (key == "seed") {
        ok = lrdtools::ParseDecimal(value, 0, UINT32_MAX, number);
        s.seed = uint32_t(number);
    } else if (key == "relay") {
        ok = ParseEndpoint(value, relay, s.relayPort) && (relay >> 24) == 127;
        s.relayAddress = relay;
    } else if (key == "lie") {
        ok = ParseMs(value, s.lieMs);
    } else if (key == "forge") {
        size_t slash = value.find('/');
        uint32_t victim = 0;
        ok = slash != std::string::npos && ParseEndpoint(value.substr(0, slash), victim, s.forgePort) &&
             (victim >> 24) == 127 && lrdtools::ParseDecimal(value.substr(slash + 1), 1, 100000, number);
        s.forgeAddress = victim;
        s.forgeGuesses = unsigned(number);
    }
    return ok;
}

}  // namespace

uint64_t SplitMix(uint64_t& state)
{
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::string FormatImpairedServer(const ImpairedServer& s)
{
    std::ostringstream out;
    out.precision(17);
    out << lrdtools::FormatAddress(s.address) << ":" << s.port;
    if (s.load)
        out << ",load=" << *s.load;
    if (s.delayMs != 0)
        out << ",delay=" << s.delayMs;
    if (s.jitterMs != 0)
        out << ",jitter=" << s.jitterMs;
    if (s.loss != 0)
        out << ",loss=" << s.loss;
    if (s.spike != 0)
        out << ",spike=" << s.spike << "/" << s.spikeMs;
    if (s.duplicate != 0)
        out << ",dup=" << s.duplicate;
    if (s.reorder != 0)
        out << ",reorder=" << s.reorder << "/" << s.reorderMs;
    if (s.seed)
        out << ",seed=" << *s.seed;
    if (s.relayAddress)
        out << ",relay=" << lrdtools::FormatAddress(*s.relayAddress) << ":" << s.relayPort;
    if (s.lieMs != 0)
        out << ",lie=" << s.lieMs;
    if (s.forgeAddress)
        out << ",forge=" << lrdtools::FormatAddress(*s.forgeAddress) << ":" << s.forgePort << "/" << s.forgeGuesses;
    return out.str();
}

bool ParseImpairedServer(const std::string& text, ImpairedServer& server, std::string& error)
{
    ImpairedServer s;
    std::istringstream in(text);
    std::string field;
    std::getline(in, field, ',');
    if (!ParseEndpoint(field, s.address, s.port) || (s.address >> 24) != 127) {
        error = "'" + field + "' is not a loopback ADDRESS:PORT";
        return false;
    }
    while (std::getline(in, field, ',')) {
        size_t eq = field.find('=');
        if (eq == std::string::npos || !ParseField(field.substr(0, eq), field.substr(eq + 1), s)) {
            error = "bad field '" + field + "' of " + text.substr(0, 80);
            return false;
        }
    }
    server = s;
    return true;
}

ImpairmentDraws::ImpairmentDraws(const ImpairedServer& server, uint64_t seed) : m_server(server), m_state(seed) {}

double ImpairmentDraws::Uniform()
{
    return double(SplitMix(m_state) >> 11) * 0x1.0p-53;
}

ImpairedFate ImpairmentDraws::Next()
{
    const ImpairedServer& s = m_server;
    double loss = Uniform(), jitter = Uniform(), spike = Uniform(), spikeSize = Uniform(), duplicate = Uniform(),
           reorder = Uniform(), copyJitter = Uniform();
    ImpairedFate fate;
    fate.lost = loss < s.loss;
    auto jittered = [&](double u) { return std::max(0.0, s.delayMs + (u - 0.5) * s.jitterMs); };
    double extra = 0;
    if (spike < s.spike) {
        fate.spiked = true;
        extra += s.spikeMs / std::pow(1 - spikeSize, 1 / kSpikeShape);
    }
    if (reorder < s.reorder) {
        fate.reordered = true;
        extra += s.reorderMs;
    }
    fate.delayMs = std::min(kMaxDelayMs, jittered(jitter) + extra);
    if (duplicate < s.duplicate)
        fate.copyDelayMs = std::min(kMaxDelayMs, jittered(copyJitter) + extra);
    return fate;
}

uint64_t ServerSeed(const ImpairedServer& server, uint64_t programSeed, size_t place)
{
    if (server.seed)
        return *server.seed;
    uint64_t state = programSeed ^ (uint64_t(place) << 32);
    return SplitMix(state);
}
