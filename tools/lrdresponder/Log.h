// Where lrdresponder's lines go: errors and warnings to standard error, the rest
// to standard output. When a stream is the journal's, every line on it starts
// with its syslog priority ("<3>"), so that journalctl -p finds the errors.
#pragma once

#include <ostream>
#include <string>

namespace lrdresponder {

enum class Priority {
    Error = 3,
    Warning = 4,
    Notice = 5,  // start, stop and counts
    Info = 6,
    Debug = 7,   // a new load, which may come every second
};

class Log {
public:
    Log(std::ostream& out, std::ostream& err, bool outIsJournal, bool errIsJournal)
        : m_out(out), m_err(err), m_outIsJournal(outIsJournal), m_errIsJournal(errIsJournal)
    {
    }

    // Writes `text`, one or more lines with or without the last line's end, each
    // line with the prefix of `priority` where the stream is the journal's.
    void Write(Priority priority, const std::string& text);

private:
    std::ostream& m_out;
    std::ostream& m_err;
    bool m_outIsJournal;
    bool m_errIsJournal;
};

}  // namespace lrdresponder
