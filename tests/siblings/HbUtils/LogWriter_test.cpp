#include "siblings/HbUtils/LogWriter.h"

#include <gtest/gtest.h>

#include <atomic>
#include <boost/make_shared.hpp>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "siblings/HbUtils/FXString.h"

namespace {

class RecordingWriter : public CLogWriterInterface {
public:
    explicit RecordingWriter(int level) : m_level(level) {}

    int GetLevel() const override { return m_level; }
    void LogMessageV(int level, const char* function, int line, std::uint32_t word1,
                     std::uint32_t word2, std::uint32_t word3, const char* format,
                     va_list args) override {
        std::string text = FXString::FormatV(format, args);
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lines.push_back(FXString::Format("%d %s:%d %u/%u/%u %s", level, function, line, word1,
                                           word2, word3, text.c_str()));
    }

    std::vector<std::string> Lines() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }

private:
    const int m_level;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

// Every test leaves the process with the null writer it started with.
class LogWriterTest : public ::testing::Test {
protected:
    void TearDown() override { SetLogWriter(nullptr); }
};

TEST_F(LogWriterTest, StartsWithAWriterThatWritesNothing) {
    boost::shared_ptr<CLogWriterInterface> writer = GetLogWriter();
    ASSERT_TRUE(writer);
    EXPECT_LT(writer->GetLevel(), 0);
    EXPECT_FALSE(writer->IsLevelEnabled(0));
    writer->LogMessage(0, "Test::run", 1, 0, 0, 0, "dropped %d", 1);
    EXPECT_LT(CreateNullLogWriter()->GetLevel(), 0);
}

TEST_F(LogWriterTest, InstalledWriterGetsTheFormattedMessage) {
    auto recorder = boost::make_shared<RecordingWriter>(3);
    SetLogWriter(recorder);
    boost::shared_ptr<CLogWriterInterface> writer = GetLogWriter();
    EXPECT_EQ(writer, recorder);
    EXPECT_TRUE(writer->IsLevelEnabled(3));
    EXPECT_FALSE(writer->IsLevelEnabled(4));
    writer->LogMessage(2, "Reader::open", 88, 0, 0, 0, "opened [%s] in %d ms", "a.cfg", 5);
    EXPECT_EQ(recorder->Lines(),
              std::vector<std::string>{"2 Reader::open:88 0/0/0 opened [a.cfg] in 5 ms"});

    SetLogWriter(nullptr);
    ASSERT_TRUE(GetLogWriter());
    EXPECT_LT(GetLogWriter()->GetLevel(), 0);
}

TEST_F(LogWriterTest, ReplaceOnlyWhenStillTheExpectedWriter) {
    auto mine = boost::make_shared<RecordingWriter>(1);
    auto theirs = boost::make_shared<RecordingWriter>(2);
    SetLogWriter(mine);
    EXPECT_TRUE(ReplaceLogWriter(mine, nullptr));
    EXPECT_LT(GetLogWriter()->GetLevel(), 0);

    SetLogWriter(theirs);
    EXPECT_FALSE(ReplaceLogWriter(mine, CreateNullLogWriter()));
    EXPECT_EQ(GetLogWriter(), theirs);
}

TEST_F(LogWriterTest, ThreadsLogWhileTheWriterIsSwapped) {
    constexpr int kThreads = 3;
    constexpr int kMessagesPerThread = 2000;
    auto first = boost::make_shared<RecordingWriter>(5);
    auto second = boost::make_shared<RecordingWriter>(5);
    SetLogWriter(first);
    std::atomic<bool> done{false};
    std::vector<std::thread> loggers;
    for (int t = 0; t < kThreads; ++t) {
        loggers.emplace_back([t] {
            for (int i = 0; i < kMessagesPerThread; ++i) {
                boost::shared_ptr<CLogWriterInterface> writer = GetLogWriter();
                if (writer->IsLevelEnabled(1)) {
                    writer->LogMessage(1, "Worker::run", t, 0, 0, 0, "message %d", i);
                }
            }
        });
    }
    std::thread swapper([&] {
        for (int i = 0; !done.load(); ++i)
            SetLogWriter(i % 2 == 0 ? second : first);
    });
    for (std::thread& logger : loggers)
        logger.join();
    done.store(true);
    swapper.join();
    EXPECT_EQ(first->Lines().size() + second->Lines().size(),
              static_cast<size_t>(kThreads * kMessagesPerThread));
}

}  // namespace
