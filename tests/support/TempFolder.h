// A folder of files for one test (by default in the temporary folder), removed
// with everything written into it.
#pragma once

#include <windows.h>

#include <stdio.h>

#include <string>
#include <vector>

class TempFolder {
public:
    explicit TempFolder(const std::string& parent = std::string())
    {
        std::string base = parent;
        if (base.empty()) {
            char temp[MAX_PATH] = {0};
            GetTempPathA(sizeof temp, temp);
            base = temp;
        }
        if (base.back() != '\\')
            base += '\\';
        static int serial;
        m_path = base + "lrd-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++serial);
        CreateDirectoryA(m_path.c_str(), nullptr);
    }
    ~TempFolder()
    {
        for (const std::string& file : m_files)
            DeleteFileA(file.c_str());
        RemoveDirectoryA(m_path.c_str());
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& Path() const { return m_path; }

    // Writes text into the named file of the folder and returns the file's path.
    std::string Write(const std::string& name, const std::string& text)
    {
        std::string file = m_path + "\\" + name;
        FILE* stream = fopen(file.c_str(), "wb");
        if (stream != nullptr) {
            fwrite(text.data(), 1, text.size(), stream);
            fclose(stream);
        }
        m_files.push_back(file);
        return file;
    }

    // A file of the folder that the test itself creates; removed like the others.
    std::string Adopt(const std::string& name)
    {
        m_files.push_back(m_path + "\\" + name);
        return m_files.back();
    }

private:
    std::string m_path;
    std::vector<std::string> m_files;
};
