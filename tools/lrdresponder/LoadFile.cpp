#include "LoadFile.h"

#include "AddressText.h"
#include "Net.h"

namespace lrdresponder {

namespace {

// More than any number with surrounding white space: a larger file is no number,
// and the read stays small whatever the path names.
constexpr size_t kMaxContent = 256;

// The content as it may be shown on one line of the log.
std::string Printable(const std::string& text)
{
    std::string shown;
    for (char c : text.substr(0, 40))
        shown += (c >= 0x20 && c < 0x7F) ? c : '?';
    return text.size() > 40 ? shown + "..." : shown;
}

}  // namespace

LoadFile::Change LoadFile::Read()
{
    // Only a regular file, read without waiting: the thread that reads it is the
    // one that answers.
    std::string content, error;
    uint64_t size = 0;
    bool readable = net::ReadRegularFile(m_path, kMaxContent, content, size, error);
    if (!readable)
        content = error;
    else if (size > kMaxContent)
        // Told apart from a small file whose first bytes are the same.
        content += "\n(" + std::to_string(size) + " bytes)";
    if (m_read && readable == m_lastReadable && content == m_lastContent)
        return Change::None;
    m_read = true;
    m_lastReadable = readable;
    m_lastContent = content;

    if (!readable) {
        m_fault = content;
        m_faulty = true;
        return Change::Fault;
    }
    if (size > kMaxContent) {
        m_fault = "it holds " + std::to_string(size) + " bytes, more than the " + std::to_string(kMaxContent) +
                  " of one number with white space";
        m_faulty = true;
        return Change::Fault;
    }
    const char* space = " \t\r\n";
    size_t first = content.find_first_not_of(space);
    size_t last = content.find_last_not_of(space);
    std::string number = first == std::string::npos ? "" : content.substr(first, last - first + 1);
    uint64_t value = 0;
    if (!lrdtools::ParseDecimal(number, 0, UINT32_MAX, value)) {
        m_fault = "'" + Printable(number) + "' is not a number from 0 to " + std::to_string(UINT32_MAX);
        m_faulty = true;
        return Change::Fault;
    }
    // A good file after a faulty one is news even when the number is the old one.
    if (m_hasLoad && m_load == value && !m_faulty)
        return Change::None;
    m_faulty = false;
    m_hasLoad = true;
    m_load = uint32_t(value);
    return Change::NewLoad;
}

}  // namespace lrdresponder
