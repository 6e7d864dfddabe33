#include "Counts.h"

#include <ctime>

namespace lrdresponder {

namespace {

std::string N(uint64_t value) { return std::to_string(value); }

uint64_t Ignored(const Counts& c) { return c.tooShort + c.wrongCommand + c.zeroTick + c.wrongFillData; }
uint64_t Refused(const Counts& c) { return c.ownAddress + c.unusableSource + c.rateLimited; }
uint64_t NotSent(const Counts& c) { return c.sendFailed + c.tooManyHeld + c.heldAtStop; }

}  // namespace

std::string FormatCounts(const Counts& c)
{
    std::string text = "requests answered: " + N(c.answered) + "\n" +
                       "requests ignored: " + N(Ignored(c)) + " (too short " + N(c.tooShort) + ", wrong command " +
                       N(c.wrongCommand) + ", zero tick " + N(c.zeroTick) + ", wrong fill data " +
                       N(c.wrongFillData) + ")\n" +
                       "requests refused: " + N(Refused(c)) + " (own address " + N(c.ownAddress) +
                       ", unusable source " + N(c.unusableSource) + ", rate limited " + N(c.rateLimited) + ")\n" +
                       "answers not sent: " + N(NotSent(c)) + " (send failed " + N(c.sendFailed) +
                       ", too many held " + N(c.tooManyHeld) + ", held at stop " + N(c.heldAtStop) + ")\n" +
                       "datagrams dropped by the system: " + (c.systemDrops ? N(*c.systemDrops) : "not counted") +
                       "\n";
    if (c.loadFileFaults)
        text += "load file faults: " + N(*c.loadFileFaults) + "\n";
    return text;
}

std::string FormatCountsLine(const std::string& timeStamp, const Counts& c)
{
    std::string line = timeStamp + " answered " + N(c.answered) + ", ignored " + N(Ignored(c)) + ", refused " +
                       N(Refused(c)) + " (rate limited " + N(c.rateLimited) + "), not sent " + N(NotSent(c));
    if (c.systemDrops)
        line += ", dropped " + N(*c.systemDrops);
    if (c.loadFileFaults)
        line += ", load file faults " + N(*c.loadFileFaults);
    return line;
}

std::string UtcTimeStamp()
{
    std::time_t now = std::time(nullptr);
    char text[32] = "";
    // The program has one thread, so gmtime's shared result is safe here.
    if (const std::tm* utc = std::gmtime(&now))
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", utc);
    return text;
}

}  // namespace lrdresponder
