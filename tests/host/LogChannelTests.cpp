// The log channel with settings from the test double of the factory library: the
// masks, the line formats on both outputs, the file counter and the file lock.
#include <gtest/gtest.h>

#include <stdio.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DebugCapture.h"
#include "LogChannel.h"
#include "TempFolder.h"
#include "ZelFactLibrary.h"

namespace {

struct FileLine {
    int number;
    int processId;
    std::string line;  // the debugger's form of the line
};

class LogChannel : public ::testing::Test {
protected:
    LogChannel()
    {
        InitializeCriticalSection(&lock);
        path = folder.Adopt("log.txt");
        file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    ~LogChannel() override
    {
        CloseHandle(file);
        DeleteCriticalSection(&lock);
    }

    std::unique_ptr<CLogChannel> Channel(uint32_t debugMask, uint32_t fileMask, HANDLE logFile)
    {
        zelfact.SetLogSettings(debugMask, fileMask, logFile, &lock, 1);
        return std::unique_ptr<CLogChannel>(new CLogChannel());
    }
    std::unique_ptr<CLogChannel> Channel(uint32_t debugMask, uint32_t fileMask) { return Channel(debugMask, fileMask, file); }

    std::vector<FileLine> FileLines() const
    {
        std::vector<FileLine> lines;
        FILE* stream = fopen(path.c_str(), "rb");
        char text[2048];
        while (stream != nullptr && fgets(text, sizeof text, stream) != nullptr) {
            FileLine entry{};
            int hour = -1, minute = -1, second = -1, used = 0;
            if (sscanf(text, "%d\t%2d:%2d:%2d\t[P%d]%n", &entry.number, &hour, &minute, &second, &entry.processId,
                       &used) == 5 &&
                hour < 24 && minute < 60 && second < 61 && text[used - 1] == ']')
                entry.line = text + used;
            lines.push_back(entry);
        }
        if (stream != nullptr)
            fclose(stream);
        return lines;
    }

    std::string FileText() const
    {
        std::string text;
        FILE* stream = fopen(path.c_str(), "rb");
        char chunk[512];
        size_t got;
        while (stream != nullptr && (got = fread(chunk, 1, sizeof chunk, stream)) > 0)
            text.append(chunk, got);
        if (stream != nullptr)
            fclose(stream);
        return text;
    }

    static std::string Expected(const char* level, const std::string& message)
    {
        return "[T" + std::to_string(GetCurrentThreadId()) + "][M39][" + level + "]" + message + "\n";
    }

    ZelFactLibrary zelfact;
    TempFolder folder;
    std::string path;
    HANDLE file;
    CRITICAL_SECTION lock;
    DebugCapture capture;
};

TEST_F(LogChannel, MasksSwitchEachLevelPerOutput)
{
    for (uint32_t debugMask = 0; debugMask < 4; ++debugMask) {
        for (uint32_t fileMask = 0; fileMask < 4; ++fileMask) {
            auto channel = Channel(debugMask, fileMask);
            size_t fileBefore = FileLines().size();
            capture.Clear();
            channel->Error("%s exit fail", "CLinkrateDetector::Detect()");
            channel->Trace("%s exit success", "CLinkrateDetector::Detect()");

            std::vector<std::string> expected;
            if (debugMask & 1)
                expected.push_back(Expected("Error", "CLinkrateDetector::Detect() exit fail"));
            if (debugMask & 2)
                expected.push_back(Expected("Trace", "CLinkrateDetector::Detect() exit success"));
            EXPECT_EQ(capture.Lines(), expected) << debugMask << "/" << fileMask;

            std::vector<FileLine> lines = FileLines();
            ASSERT_EQ(lines.size() - fileBefore, (size_t)((fileMask & 1) + (fileMask >> 1))) << fileMask;
            if (fileMask == 3) {
                EXPECT_EQ(lines.back().line, Expected("Trace", "CLinkrateDetector::Detect() exit success"));
            }
        }
    }
    EXPECT_EQ(zelfact.Counters().getLogSettingsCalls, 16);
    EXPECT_EQ(zelfact.Counters().lastLogModuleId, 39);
}

TEST_F(LogChannel, CallersFormatIsAppliedOnceAndLinesAreCut)
{
    auto channel = Channel(3, 0);
    channel->Trace("100%% done");
    EXPECT_EQ(capture.Lines().back(), Expected("Trace", "100% done"));

    // The line format stops at 255 characters, the line at 1023: both lose the
    // line break.
    channel->Trace("%s", std::string(300, 'a').c_str());
    EXPECT_EQ(capture.Lines().back(), Expected("Trace", std::string(300, 'a')).substr(0, 1023));
    channel->Trace((std::string(300, 'b') + "%d").c_str(), 5);
    EXPECT_EQ(capture.Lines().back(), Expected("Trace", std::string(300, 'b')).substr(0, 255));
    channel->Error("%s", std::string(2000, 'c').c_str());
    EXPECT_EQ(capture.Lines().back(), Expected("Error", std::string(2000, 'c')).substr(0, 1023));
}

TEST_F(LogChannel, FileLinesAreNumberedAcrossChannelsAndAppended)
{
    auto first = Channel(0, 3);
    auto second = Channel(0, 2);
    first->Error("one");
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);  // another writer moved the pointer
    second->Trace("two");
    std::vector<FileLine> lines = FileLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].line, Expected("Error", "one"));
    EXPECT_EQ(lines[1].line, Expected("Trace", "two"));
    EXPECT_EQ(lines[1].number, lines[0].number + 1);
    EXPECT_EQ(lines[0].processId, (int)GetCurrentProcessId());


    first->Error("%s", std::string(2000, 'x').c_str());
    std::string text = FileText();
    EXPECT_EQ(text.size() - (text.rfind('\n') + 1), 1023u) << "the file line is cut at 1023 characters";
}

TEST_F(LogChannel, UnusableFilesKeepTheCounter)
{
    auto good = Channel(0, 1);
    good->Error("before");

    auto noFile = Channel(0, 1, INVALID_HANDLE_VALUE);
    HANDLE notAFile = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    auto failingSeek = Channel(0, 1, notAFile);
    capture.Clear();
    noFile->Error("lost");
    EXPECT_TRUE(capture.Lines().empty()) << "no file: nothing, and no message";
    failingSeek->Error("lost");
    ASSERT_EQ(capture.Lines().size(), 1u);
    EXPECT_EQ(capture.Lines()[0].rfind("Set log file pointer at end fail , error id = ", 0), 0u) << capture.Lines()[0];
    EXPECT_EQ(capture.Lines()[0].substr(capture.Lines()[0].size() - 3), " !\n");

    good->Error("after");
    std::vector<FileLine> lines = FileLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1].number, lines[0].number + 1);
    CloseHandle(notAFile);
}

TEST_F(LogChannel, FileLockCoversFileWritesOnly)
{
    auto debuggerOnly = Channel(3, 0);
    auto silent = Channel(0, 0);
    auto toFile = Channel(0, 2);
    HANDLE unlockedDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HANDLE writerStarted = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EnterCriticalSection(&lock);
    std::thread unlocked([&] {
        debuggerOnly->Trace("no lock needed");
        silent->Error("nothing");
        SetEvent(unlockedDone);
    });
    std::thread writer([&] {
        SetEvent(writerStarted);
        toFile->Trace("waits for the lock");
    });
    EXPECT_EQ(WaitForSingleObject(unlockedDone, 10000), WAIT_OBJECT_0) << "lines that skip the file skip its lock";
    WaitForSingleObject(writerStarted, INFINITE);
    // Whatever the scheduling, the writer cannot reach the file while the lock is held.
    Sleep(50);
    EXPECT_TRUE(FileLines().empty());
    LeaveCriticalSection(&lock);
    unlocked.join();
    writer.join();
    EXPECT_EQ(FileLines().size(), 1u);
    CloseHandle(unlockedDone);
    CloseHandle(writerStarted);
}

}  // namespace
