// A threshold in the range syntax of monitoring plugins, without any platform
// header: "[@]START:END", where START may be "~" (no lower end) or left out with
// its colon (0), and END may be left empty (no upper end). A value outside the
// range raises the alert; after "@", a value inside it. Both ends belong to the
// range, so "200" alerts at 200.1 and not at 200.
#pragma once

#include <optional>
#include <string>

namespace lrdresponder {

struct ThresholdRange {
    std::string text;  // as given, for the performance data
    bool alertInside = false;
    std::optional<double> low;   // none: no lower end
    std::optional<double> high;  // none: no upper end

    bool Alerts(double value) const;
};

// False when `text` is not a range: a number that is not plain decimal
// ("-1.5" is one, "1e3" and "0x10" are not), or a start above the end.
bool ParseThresholdRange(const std::string& text, ThresholdRange& range);

// The value as performance data and messages show it: at most three decimals,
// without trailing zeros ("300", "12.345", "33.3").
std::string FormatDecimal(double value);

}  // namespace lrdresponder
