// The HTML report: one page, no script, every picture an inline SVG drawn here,
// so that it opens anywhere offline and shows the same everywhere.
#include <stdio.h>

#include <algorithm>
#include <cmath>
#include <sstream>

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

// A server's round-trip times over the rounds as bars from 0 to its slowest
// round, a lost round as a red cross at the bottom.
std::string Strip(const Row& row)
{
    const double width = 6, height = 22;
    uint32_t scaleMs = std::max<uint32_t>(row.rttMax, 1);
    size_t rounds = row.samples.size();
    std::ostringstream svg;
    svg << "<svg class=strip width=\"" << std::max<size_t>(rounds, 1) * size_t(width) << "\" height=\"" << height
        << "\" role=img aria-label=\"round-trip times of " << Endpoint(row) << "\">";
    for (size_t r = 0; r < rounds; ++r) {
        double x = double(r) * width;
        uint32_t sample = row.samples[r];
        if (sample == kLost) {
            svg << "<path class=lost d=\"M" << x + 1 << " " << height - 6 << "l4 4m0 -4l-4 4\"><title>round "
                << r + 1 << ": no reply</title></path>";
            continue;
        }
        double h = std::max(1.0, (height - 2) * double(sample) / double(scaleMs));
        svg << "<rect x=\"" << x + 1 << "\" y=\"" << Num(height - h) << "\" width=\"4\" height=\"" << Num(h)
            << "\"><title>round " << r + 1 << ": " << sample << " ms</title></rect>";
    }
    svg << "</svg>";
    if (row.Answered())
        svg << "<span class=scale>" << row.rttMax << "</span>";
    return svg.str();
}

// Median round-trip time against load, both on logarithmic scales, with the line
// of equal score through the winner: every server above or right of it scores
// worse. A line from a dot to the right reaches the expected time with retries,
// which is what the score weighs.
std::string Scatter(const std::vector<Row>& rows)
{
    std::vector<const Row*> answered;
    for (const Row& row : rows)
        if (row.Answered())
            answered.push_back(&row);
    if (answered.empty())
        return "<p>No server answered: nothing to plot.</p>";
    double maxMs = 1, maxLoad = 1, minLoad = 1e18;
    for (const Row* row : answered) {
        maxMs = std::max(maxMs, row->standing.expectedMs);
        maxLoad = std::max(maxLoad, double(row->load));
        minLoad = std::min(minLoad, double(row->load));
    }
    // Decades that hold every point: times from 1 ms (the floor of the score; a
    // faster server is drawn there), loads from the decade of the smallest; a
    // margin keeps points off the axes.
    const double margin = 0.15;
    double x0 = -margin, x1 = std::max(1.0, std::ceil(std::log10(maxMs * 1.05)));
    double y0 = std::floor(std::log10(std::max(1.0, minLoad))), y1 = std::ceil(std::log10(maxLoad * 1.05));
    if (y1 <= y0)
        y1 = y0 + 1;
    y0 -= margin;
    const double w = 640, h = 400, left = 60, bottom = 40, top = 10, right = 20;
    auto px = [&](double ms) { return left + (std::log10(std::max(1.0, ms)) - x0) / (x1 - x0) * (w - left - right); };
    auto py = [&](double load) {
        return h - bottom - (std::log10(std::max(1.0, load)) - y0) / (y1 - y0) * (h - top - bottom);
    };
    std::ostringstream svg;
    svg << "<svg class=scatter width=\"" << w << "\" height=\"" << h
        << "\" role=img aria-label=\"median round-trip time against load\">";
    for (double d = std::ceil(x0); d <= x1; ++d) {
        double x = px(std::pow(10, d));
        svg << "<line class=grid x1=\"" << Num(x) << "\" y1=\"" << top << "\" x2=\"" << Num(x) << "\" y2=\""
            << h - bottom << "\"/><text x=\"" << Num(x) << "\" y=\"" << h - bottom + 16
            << "\" text-anchor=middle>" << Num(std::pow(10, d), 0) << "</text>";
    }
    for (double d = std::ceil(y0); d <= y1; ++d) {
        double y = py(std::pow(10, d));
        svg << "<line class=grid x1=\"" << left << "\" y1=\"" << Num(y) << "\" x2=\"" << w - right << "\" y2=\""
            << Num(y) << "\"/><text x=\"" << left - 6 << "\" y=\"" << Num(y + 4) << "\" text-anchor=end>"
            << Num(std::pow(10, d), 0) << "</text>";
    }
    svg << "<text x=\"" << (left + w - right) / 2 << "\" y=\"" << h - 6
        << "\" text-anchor=middle>median round-trip time, ms (log)</text><text transform=\"translate(14 "
        << (top + h - bottom) / 2 << ") rotate(-90)\" text-anchor=middle>load (log)</text>";
    // Equal score: load = score / max(1, time), a straight line on these scales,
    // drawn only inside the plot.
    double best = answered.front()->Score();
    svg << "<clipPath id=plot><rect x=\"" << left << "\" y=\"" << top << "\" width=\"" << w - left - right
        << "\" height=\"" << h - top - bottom << "\"/></clipPath><path clip-path=\"url(#plot)\" class=iso d=\"M"
        << Num(px(1)) << " " << Num(py(best)) << " L" << Num(px(std::pow(10, x1))) << " " << Num(py(best / std::pow(10, x1)))
        << "\"><title>equal score to the winner: " << Num(best, 0) << "</title></path>";
    for (size_t i = answered.size(); i-- > 0;) {
        const Row& row = *answered[i];
        double x = px(row.rttMedian), y = py(row.load), xe = px(row.standing.expectedMs);
        if (xe - x >= 1)
            svg << "<line class=loss x1=\"" << Num(x) << "\" y1=\"" << Num(y) << "\" x2=\"" << Num(xe) << "\" y2=\""
                << Num(y) << "\"/>";
        svg << "<circle class=\"" << (i == 0 ? "dot win" : "dot") << "\" cx=\"" << Num(x) << "\" cy=\"" << Num(y)
            << "\" r=\"" << (i == 0 ? 7 : 4) << "\"><title>#" << row.rank << " " << Endpoint(row) << ": median "
            << Num(row.rttMedian) << " ms, expected " << Num(row.standing.expectedMs) << " ms, load " << row.load
            << ", score " << Num(row.Score(), 0) << "</title></circle>";
        if (i < 5)
            svg << "<text class=label x=\"" << Num(x + 9) << "\" y=\"" << Num(y - 6) << "\">" << row.rank << "</text>";
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
           ".strip rect{fill:#3b6ea8}.strip .lost{stroke:#d22;stroke-width:1.5}\n"
           ".scatter text{font-size:12px;fill:#444}.grid{stroke:#ddd}.iso{stroke:#2a2;stroke-dasharray:5 4;fill:none}\n"
           ".dot{fill:#3b6ea8;fill-opacity:.75}.dot.win{fill:#2a2}.loss{stroke:#d22}.label{font-weight:600}\n"
           ".note{color:#555}.scale{font-size:11px;color:#777;margin-left:4px;vertical-align:top}\n</style>\n</head>\n<body>\n";
    out << "<h1>lrdprobe: " << rows.size() << " servers, " << run.roundsDone << " of " << run.roundsAsked
        << " rounds</h1>\n<p class=note>";
    if (!run.roundTimes.empty())
        out << "Started " << Escape(run.roundTimes.front().start) << ". ";
    out << "Time limit " << run.timeLimitMs << " ms a round, rounds " << run.periodMs << " ms apart.";
    if (run.interrupted)
        out << " <strong>Interrupted</strong>" << (run.lastRoundCut ? ", the last round cut short." : ".");
    out << " Ranked by score = max(1 ms, expected time to an answer) &times; load; the expected time is the median "
           "round-trip time plus what the server's losses cost a client that asks again.</p>\n";

    out << "<h2>Ranking</h2>\n<table>\n<tr><th>rank<th class=l>server<th class=l>name<th>median ms<th>min<th>max"
           "<th>expect ms<th>load<th>score<th>replies<th>loss<th class=l>rounds (0 to max ms)</tr>\n";
    for (size_t i = 0; i < rows.size(); ++i) {
        const Row& row = rows[i];
        out << "<tr" << (!row.Answered() ? " class=silent" : row.rank == 1 ? " class=win" : "") << "><td>" << row.rank
            << "<td class=l>" << Endpoint(row) << "<td class=l>" << Escape(row.server.name);
        if (row.Answered())
            out << "<td>" << Num(row.rttMedian) << "<td>" << row.rttMin << "<td>" << row.rttMax << "<td>"
                << Num(row.standing.expectedMs) << "<td>" << row.load << "<td>" << Num(row.Score(), 0);
        else
            out << "<td colspan=6>no reply";
        out << "<td>" << row.replies << "/" << row.samples.size() << "<td>" << Num(row.LossPercent())
            << "%<td class=l>" << Strip(row) << "</tr>\n";
    }
    out << "</table>\n";
    if (run.confidence >= 0)
        out << "<p class=confidence>" << Escape(ConfidenceText(run)) << ".</p>\n";
    out << "<h2>Why the winner won</h2>\n<p class=note>Each dot is a server that answered (green: rank 1). "
           "A red line to the right of a dot reaches its expected time with retries. Servers above or right of the "
           "dashed line score worse than the winner.</p>\n"
        << Scatter(rows) << "\n</body>\n</html>\n";
    return out.str();
}

}  // namespace lrdprobe
