// The HTML report: one page, no script, every picture an inline SVG drawn here,
// so that it opens anywhere offline and shows the same everywhere.
#include <stdio.h>

#include <algorithm>
#include <cmath>
#include <sstream>

#include "ProbeRanking.h"
#include "ProbeSummary.h"

namespace lrdprobe {

namespace {

std::string Escape(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string Num(double value, int decimals = 1)
{
    char text[48];
    snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string Endpoint(const Row& row) { return row.server.address + ":" + std::to_string(row.server.port); }

// A strip holds at most this many columns: a longer run is binned to the width.
constexpr size_t kStripColumns = 60;

// A server's round-trip times over the rounds on the scale of all servers:
// a column per round, or per bin of consecutive rounds in a long run (a bar to
// the bin's median and a tick at its slowest), a triangle at the top for a time
// beyond the scale, a red cross for a round without its reply.
std::string Strip(const Row& row, const TimeScale& scale)
{
    const double pitch = 5, height = 24, top = 4;
    size_t rounds = row.samples.size();
    size_t columns = std::min(rounds, kStripColumns);
    // The shortest bar stays visible.
    auto y = [&](double ms) { return height - (height - top) * std::max(scale.Level(ms), 0.05); };
    std::ostringstream svg;
    svg << "<svg class=strip width=\"" << std::max<size_t>(columns, 1) * size_t(pitch) << "\" height=\"" << height
        << "\" role=img aria-label=\"round-trip times of " << Endpoint(row) << "\">";
    for (size_t c = 0; c < columns; ++c) {
        size_t first = c * rounds / columns, end = (c + 1) * rounds / columns;
        std::vector<uint32_t> times;
        for (size_t r = first; r < end; ++r)
            if (row.samples[r] != kLost)
                times.push_back(row.samples[r]);
        std::sort(times.begin(), times.end());
        size_t lost = (end - first) - times.size();
        std::string which = end - first == 1 ? "round " + std::to_string(first + 1)
                                             : "rounds " + std::to_string(first + 1) + "-" + std::to_string(end);
        double x = double(c) * pitch;
        svg << "<g><title>" << which << ": ";
        if (!times.empty()) {
            double median = times.size() % 2 ? times[times.size() / 2]
                                             : (times[times.size() / 2 - 1] + times[times.size() / 2]) / 2.0;
            svg << (times.size() > 1 ? "median " + Num(median) + " ms, slowest " + std::to_string(times.back())
                                     : std::to_string(times.back())) << " ms";
            if (lost > 0)
                svg << ", " << lost << " without a reply";
            svg << "</title><rect x=\"" << x << "\" y=\"" << Num(y(median)) << "\" width=\"4\" height=\""
                << Num(height - y(median)) << "\"/>";
            if (times.back() > median)
                svg << "<path class=slowest d=\"M" << x << " " << Num(y(times.back())) << "h4\"/>";
            if (times.back() > scale.high)
                svg << "<path class=clip d=\"M" << x << " " << top << "h4l-2 -4z\"/>";
        } else {
            svg << "no reply</title>";
        }
        if (lost > 0)
            svg << "<path class=lost d=\"M" << x << " " << height - 5 << "l4 4m0 -4l-4 4\"/>";
        svg << "</g>";
    }
    svg << "</svg>";
    return svg.str();
}

// A label's box in the scatter's pixels; y grows downwards.
struct Box {
    double left, top, right, bottom;
    bool Overlaps(const Box& other) const
    {
        return left < other.right && other.left < right && top < other.bottom && other.top < bottom;
    }
};
// The numbers are 12 px of a semibold sans-serif: at most this wide a digit and
// this tall, of which this much lies below the baseline.
constexpr double kLabelCharWidth = 8;
constexpr double kLabelHeight = 13;
constexpr double kLabelDescent = 2;

// The first place beside the dot at (x, y) where a label of this width covers
// none of the labels placed: up and right of the dot, then the other corners,
// then farther up or down in steps of a line.
Box PlaceLabel(double x, double y, double width, const std::vector<Box>& placed)
{
    Box box{};
    for (int step = 0; step < 40; ++step) {
        double lift = kLabelHeight * (step / 4);
        bool right = step % 2 == 0, above = step % 4 < 2;
        box.left = right ? x + 7 : x - 7 - width;
        box.bottom = above ? y - 4 - lift : y + 4 + kLabelHeight + lift;
        box.right = box.left + width;
        box.top = box.bottom - kLabelHeight;
        if (std::none_of(placed.begin(), placed.end(), [&](const Box& other) { return box.Overlaps(other); }))
            return box;
    }
    return box;
}

// Expected time against load, on logarithmic scales, with the line of equal
// score through the winner: every server above or right of it scores worse.
// The dots sit at the expected time that the score weighs; a line from a dot to
// the left reaches its median round-trip time, what the losses add.
std::string Scatter(const std::vector<Row>& rows)
{
    std::vector<const Row*> answered;
    for (const Row& row : rows)
        if (row.Answered())
            answered.push_back(&row);
    if (answered.empty())
        return "<p>No server answered: nothing to plot.</p>";
    double best = answered.front()->Score();
    // The score is linear in the load: the load that scores `best` at `ms`.
    auto equalLoad = [&](double ms) { return best / Score(ms, 1); };
    // Decades that hold every dot and the line across them: times from 1 ms (the
    // floor of the score; a faster server is drawn there); a margin keeps dots
    // off the axes. A load of 0 is drawn on the lowest decade.
    double maxMs = 1, minLoad = 1e18, maxLoad = 1;
    for (const Row* row : answered) {
        maxMs = std::max(maxMs, row->standing.expectedMs);
        if (row->load > 0)
            minLoad = std::min(minLoad, double(row->load));
        maxLoad = std::max(maxLoad, double(row->load));
    }
    const double margin = 0.15;
    double x0 = -margin, x1 = std::max(1.0, std::ceil(std::log10(maxMs * 1.05)));
    if (best > 0) {
        minLoad = std::min(minLoad, equalLoad(std::pow(10, x1)));
        maxLoad = std::max(maxLoad, equalLoad(1));
    }
    if (minLoad > maxLoad)
        minLoad = 1;
    double y0 = std::floor(std::log10(minLoad)) - margin, y1 = std::ceil(std::log10(maxLoad * 1.05));
    if (y1 <= y0 + margin)
        y1 = y0 + margin + 1;
    const double w = 640, h = 400, left = 60, bottom = 40, top = 10, right = 20;
    auto px = [&](double ms) { return left + (std::log10(std::max(1.0, ms)) - x0) / (x1 - x0) * (w - left - right); };
    auto py = [&](double load) {
        double decade = load > 0 ? std::log10(load) : y0 + margin;
        return h - bottom - (decade - y0) / (y1 - y0) * (h - top - bottom);
    };
    std::ostringstream svg;
    svg << "<svg class=scatter width=\"" << w << "\" height=\"" << h
        << "\" role=img aria-label=\"expected time to an answer against load\">";
    for (double d = std::ceil(x0); d <= x1; ++d) {
        double x = px(std::pow(10, d));
        svg << "<line class=\"grid gx\" x1=\"" << Num(x) << "\" y1=\"" << top << "\" x2=\"" << Num(x) << "\" y2=\""
            << h - bottom << "\"/><text class=tx x=\"" << Num(x) << "\" y=\"" << h - bottom + 16
            << "\" text-anchor=middle>" << Num(std::pow(10, d), d < 0 ? int(-d) : 0) << "</text>";
    }
    for (double d = std::ceil(y0); d <= y1; ++d) {
        double y = py(std::pow(10, d));
        svg << "<line class=\"grid gy\" x1=\"" << left << "\" y1=\"" << Num(y) << "\" x2=\"" << w - right
            << "\" y2=\"" << Num(y) << "\"/><text class=ty x=\"" << left - 6 << "\" y=\"" << Num(y + 4)
            << "\" text-anchor=end>" << Num(std::pow(10, d), d < 0 ? int(-d) : 0) << "</text>";
    }
    svg << "<text x=\"" << (left + w - right) / 2 << "\" y=\"" << h - 6
        << "\" text-anchor=middle>expected time to an answer, ms (log)</text><text transform=\"translate(14 "
        << (top + h - bottom) / 2 << ") rotate(-90)\" text-anchor=middle>load (log)</text>";
    // Equal score, from the ranking's own rule, across the whole time axis; the
    // load axis reaches as far as the line does.
    if (best > 0) {
        svg << "<path class=iso d=\"";
        const int steps = 48;
        for (int i = 0; i <= steps; ++i) {
            double ms = std::pow(10, x0 + (x1 - x0) * i / steps);
            svg << (i == 0 ? "M" : " L") << Num(px(ms), 2) << " " << Num(py(equalLoad(ms)), 2);
        }
        svg << "\"><title>equal score to the winner: " << Num(best, 0) << "</title></path>";
    }
    for (size_t i = answered.size(); i-- > 0;) {
        const Row& row = *answered[i];
        double x = px(row.standing.expectedMs), y = py(row.load), xm = px(row.rttMedian);
        if (x - xm >= 1)
            svg << "<line class=loss x1=\"" << Num(xm) << "\" y1=\"" << Num(y) << "\" x2=\"" << Num(x) << "\" y2=\""
                << Num(y) << "\"/>";
        svg << "<circle class=\"" << (i == 0 ? "dot win" : "dot") << "\" cx=\"" << Num(x, 2) << "\" cy=\""
            << Num(y, 2) << "\" r=\"" << (i == 0 ? 7 : 4) << "\"><title>#" << row.rank << " " << Endpoint(row)
            << ": expected " << Num(row.standing.expectedMs) << " ms, median " << Num(row.rttMedian) << " ms, load "
            << row.load << ", score " << Num(row.Score(), 0) << "</title></circle>";
    }
    // The numbers of the top ten, each moved aside until it covers no number
    // placed before it: close dots would otherwise put theirs on top of each
    // other.
    std::vector<Box> placed;
    for (size_t i = 0; i < answered.size(); ++i) {
        const Row& row = *answered[i];
        if (row.rank > 10)
            continue;
        std::string text = std::to_string(row.rank);
        Box box = PlaceLabel(px(row.standing.expectedMs), py(row.load), double(text.size()) * kLabelCharWidth, placed);
        placed.push_back(box);
        svg << "<text class=label x=\"" << Num(box.left) << "\" y=\"" << Num(box.bottom - kLabelDescent) << "\">"
            << text << "</text>";
    }
    svg << "</svg>";
    return svg.str();
}

}  // namespace

std::string FormatHtml(const std::vector<Row>& rows, const RunInfo& run)
{
    std::ostringstream out;
    out << "<!DOCTYPE html>\n<html lang=en>\n<head>\n<meta charset=utf-8>\n<title>lrdprobe report</title>\n"
           "<link rel=icon href=\"data:,\">\n<style>\n"
           "body{font:14px/1.4 system-ui,sans-serif;margin:24px;color:#222;background:#fff}\n"
           "h1{font-size:20px;margin:0 0 4px}h2{font-size:16px;margin:24px 0 8px}\n"
           "table{border-collapse:collapse}th,td{padding:2px 8px;text-align:right;white-space:nowrap}\n"
           "th{border-bottom:1px solid #888;font-weight:600}td.l,th.l{text-align:left}\n"
           "tr:nth-child(even) td{background:#f4f4f4}tr.silent td{color:#999}tr.win td{background:#e3f1e3}\n"
           ".strip rect{fill:#3b6ea8}.strip .lost{stroke:#d22;stroke-width:1.5}.strip .slowest{stroke:#123;stroke-width:1.5}\n"
           ".strip .clip{fill:#e80}\n"
           ".scatter text{font-size:12px;fill:#444}.grid{stroke:#ddd}.iso{stroke:#2a2;stroke-dasharray:5 4;fill:none}\n"
           ".dot{fill:#3b6ea8;fill-opacity:.75}.dot.win{fill:#2a2}.loss{stroke:#d22}.label{font-weight:600}\n"
           ".note{color:#555}\n</style>\n</head>\n<body>\n";
    out << "<h1>lrdprobe: " << rows.size() + run.unresolved.size() << " servers";
    if (!run.unresolved.empty())
        out << " (" << run.unresolved.size() << " not resolved)";
    out << ", " << run.roundsDone << " of " << run.roundsAsked << " rounds</h1>\n<p class=note>";
    if (!run.roundTimes.empty())
        out << "Started " << Escape(run.roundTimes.front().start) << ". ";
    out << "Time limit " << run.timeLimitMs << " ms a round";
    if (run.roundTimes.size() > 1)
        out << ", rounds started " << run.periodMs << " ms apart on average (-p " << run.periodAskedMs << ")";
    out << ".";
    if (run.interrupted)
        out << " <strong>Interrupted</strong>" << (run.lastRoundCut ? ", the last round cut short." : ".");
    out << " Ranked by score = max(1 ms, expected time to an answer) &times; load; the expected time is the median "
           "round-trip time plus what the server's losses cost a client that asks again.</p>\n";

    TimeScale scale = ScaleOf(rows);
    out << "<h2>Ranking</h2>\n<table>\n<tr><th>rank<th class=l>server<th class=l>name<th>median ms<th>min<th>max"
           "<th>expect ms<th>load<th>score<th>replies<th>loss<th class=l>rounds, one scale: "
        << scale.Text() << "</tr>\n";
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        out << "<tr" << (!row.Answered() ? " class=silent" : row.rank == 1 ? " class=win" : "") << "><td>" << row.rank
            << "<td class=l>" << Endpoint(row) << "<td class=l>" << Escape(row.server.name);
        if (row.Answered())
            out << "<td>" << Num(row.rttMedian) << "<td>" << row.rttMin << "<td>" << row.rttMax << "<td>"
                << Num(row.standing.expectedMs) << "<td>" << LoadText(row) << "<td>" << Num(row.Score(), 0);
        else
            out << "<td colspan=6>no reply";
        out << "<td>" << row.replies << "/" << row.samples.size();
        if (row.droppedAfter != 0)
            out << " <span class=note>dropped after " << row.droppedAfter << "</span>";
        out << "<td>" << Num(row.LossPercent())
            << "%<td class=l>" << Strip(row, scale) << "</tr>\n";
    }
    out << "</table>\n";
    if (std::any_of(rows.begin(), rows.end(), [](const Row& row) { return row.LoadDefault(); }))
        out << "<p class=note>" << Escape(kLoadDefaultNote) << ".</p>\n";
    if (run.confidence >= 0)
        out << "<p class=confidence>" << Escape(ConfidenceText(run)) << ".</p>\n";
    std::string tied = TiedText(rows, run);
    if (!tied.empty())
        out << "<p class=tied>" << Escape(tied) << ".</p>\n";
    out << "<p class=note>Strips: a bar per round" << (run.roundsDone > kStripColumns ? " (per bin of rounds: its median, a tick at its slowest)" : "")
        << ", an orange triangle for a time beyond the scale, a red cross for a round without its reply.</p>\n";
    if (!run.unresolved.empty()) {
        out << "<h2>Not probed: names that did not resolve</h2>\n<ul class=unresolved>\n";
        for (const std::string& line : run.unresolved)
            out << "<li>" << Escape(line) << "</li>\n";
        out << "</ul>\n";
    }
    out << "<h2>Why the winner won</h2>\n<p class=note>Each dot is a server that answered, at the expected time to "
           "an answer that its score weighs (green: rank 1; the top ten numbered by rank). A red line to the left of "
           "a dot reaches its median round-trip time: the rest is what its losses cost. The dashed line joins the "
           "points that score as the winner does: servers above or right of it score worse.</p>\n"
        << Scatter(rows) << "\n</body>\n</html>\n";
    return out.str();
}

}  // namespace lrdprobe
