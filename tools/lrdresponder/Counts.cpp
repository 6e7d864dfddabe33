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

std::string FormatCountsLine(const std::string& timeStamp, const Counts& c, const std::optional<uint32_t>& load)
{
    std::string line = "time=" + timeStamp + " answered=" + N(c.answered) + " too_short=" + N(c.tooShort) +
                       " wrong_command=" + N(c.wrongCommand) + " zero_tick=" + N(c.zeroTick) +
                       " wrong_fill_data=" + N(c.wrongFillData) + " own_address=" + N(c.ownAddress) +
                       " unusable_source=" + N(c.unusableSource) + " rate_limited=" + N(c.rateLimited) +
                       " send_failed=" + N(c.sendFailed) + " too_many_held=" + N(c.tooManyHeld);
    if (c.systemDrops)
        line += " dropped=" + N(*c.systemDrops);
    if (c.loadFileFaults)
        line += " load_file_faults=" + N(*c.loadFileFaults);
    if (load)
        line += " load=" + N(*load);
    return line;
}

std::string FormatMetrics(const Counts& c, const std::optional<uint32_t>& load, int64_t startTime,
                          const std::string& version, const std::string& bindAddress)
{
    std::string text;
    auto family = [&](const std::string& name, const char* type, const char* help) {
        text += "# HELP lrdresponder_" + name + " " + help + "\n# TYPE lrdresponder_" + name + " " + type + "\n";
    };
    auto sample = [&](const std::string& name, const std::string& labels, const std::string& value) {
        text += "lrdresponder_" + name + (labels.empty() ? "" : "{" + labels + "}") + " " + value + "\n";
    };
    family("info", "gauge", "The running responder's version.");
    sample("info", "version=\"" + version + "\"", "1");
    family("start_time_seconds", "gauge", "When the responder started, in seconds since 1970.");
    sample("start_time_seconds", "", std::to_string(startTime));
    auto portLabels = [&](const PortCounts& port) {
        return "address=\"" + bindAddress + "\",port=\"" + N(port.port) + "\"";
    };
    family("requests_answered_total", "counter", "Requests answered, by port.");
    for (const PortCounts& port : c.ports)
        sample("requests_answered_total", portLabels(port), N(port.answered));
    family("datagrams_ignored_total", "counter", "Datagrams that are not requests, by reason.");
    for (auto [reason, value] : {std::pair{"too_short", c.tooShort}, {"wrong_command", c.wrongCommand},
                                 {"zero_tick", c.zeroTick}, {"wrong_fill_data", c.wrongFillData}})
        sample("datagrams_ignored_total", std::string("reason=\"") + reason + "\"", N(value));
    family("requests_refused_total", "counter", "Requests refused for their source, by reason.");
    for (auto [reason, value] : {std::pair{"own_address", c.ownAddress}, {"unusable_source", c.unusableSource},
                                 {"rate_limited", c.rateLimited}})
        sample("requests_refused_total", std::string("reason=\"") + reason + "\"", N(value));
    family("answers_not_sent_total", "counter", "Answers that did not leave, by reason.");
    for (auto [reason, value] : {std::pair{"send_failed", c.sendFailed}, {"too_many_held", c.tooManyHeld},
                                 {"held_at_stop", c.heldAtStop}})
        sample("answers_not_sent_total", std::string("reason=\"") + reason + "\"", N(value));
    if (c.systemDrops) {
        family("datagrams_dropped_total", "counter", "Datagrams the system dropped for a full socket queue, by port.");
        for (const PortCounts& port : c.ports)
            sample("datagrams_dropped_total", portLabels(port), N(port.systemDrops.value_or(0)));
    }
    if (c.loadFileFaults) {
        family("load_file_faults_total", "counter", "Reads of the load file that found no number.");
        sample("load_file_faults_total", "", N(*c.loadFileFaults));
    }
    if (load) {
        family("load", "gauge", "The load sent with every answer.");
        sample("load", "", N(*load));
    }
    return text;
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
