// The load as the server's own monitoring writes it: a file that holds one
// decimal number, read again whenever its content changes.
#pragma once

#include <cstdint>
#include <string>

namespace lrdresponder {

class LoadFile {
public:
    explicit LoadFile(std::string path) : m_path(std::move(path)) {}

    enum class Change {
        None,     // the content is what the last read found
        NewLoad,  // the file holds a number: a new one, or the old one after a fault
        Fault,    // the file cannot be read or holds no number; the load stays
    };

    // Reads the file and compares its content with the last read, so that a
    // faulty file is reported once, not at every read.
    Change Read();

    bool HasLoad() const { return m_hasLoad; }
    uint32_t Load() const { return m_load; }
    // Why the last read that changed something was a fault.
    const std::string& Fault() const { return m_fault; }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
    bool m_read = false;
    std::string m_lastContent;  // or the reason the file could not be read
    bool m_lastReadable = false;
    bool m_faulty = false;
    bool m_hasLoad = false;
    uint32_t m_load = 0;
    std::string m_fault;
};

}  // namespace lrdresponder
