#include "Log.h"

namespace lrdresponder {

void Log::Write(Priority priority, const std::string& text)
{
    bool toErr = priority <= Priority::Warning;
    std::ostream& stream = toErr ? m_err : m_out;
    std::string prefix = (toErr ? m_errIsJournal : m_outIsJournal)
                             ? "<" + std::to_string(int(priority)) + ">"
                             : std::string();
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end;
        stream << prefix;
        stream.write(text.data() + start, std::streamsize(end - start));
        stream << '\n';
        start = end + 1;
    }
    stream.flush();
}

}  // namespace lrdresponder
