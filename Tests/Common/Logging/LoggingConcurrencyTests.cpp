#include "Common/Logging/FileLogger.h"
#include "Common/Logging/LogTestSupport.h"

#include <map>
#include <thread>

using namespace Logging;
using namespace TestSupport;

// Eight threads share one file: every line must arrive whole, in each thread's own order.
TEST(LoggingConcurrencyTest, LinesFromManyThreadsNeverInterleave)
{
    constexpr int kThreads = 8;
    constexpr int kLines = 400;
    TempDir dir;
    for (const char* keepOpen : {"5000", "0"})
    {
        LoggerEnv env(dir.Path(), std::string(keepOpen));
        std::string name = std::string("Shared") + keepOpen + ".log";
        FileLogger logger(Platform::FromUtf8(name), L"BANNER\r\n");
        LoggerRegistration registration(&logger);
        const std::wstring payload(150, L'p');

        {
            std::vector<std::jthread> threads;
            for (int t = 0; t < kThreads; ++t)
            {
                threads.emplace_back(
                    [t, &payload]
                    {
                        for (int i = 0; i < kLines; ++i)
                        {
                            RSM_LOG(Info, L"T" << t << L" #" << i << L" " << payload);
                        }
                    });
            }
            // Settings refreshes and folder recomputation race with the writers.
            threads.emplace_back(
                []
                {
                    for (int i = 0; i < 2000; ++i)
                    {
                        LogManager::Instance().Config().Refresh(false);
                        LogManager::Instance().Config().GetDirectory();
                    }
                });
        }
        std::wstring text = ReadUtf16File(dir.File(name));
        ASSERT_EQ(0u, text.find(L"BANNER\r\n"));
        auto lines = SplitLines(text.substr(8));
        ASSERT_EQ(static_cast<std::size_t>(kThreads * kLines), lines.size());
        // With the count exact, lines in order per thread also means none lost.
        std::map<int, int> next;
        for (const auto& line : lines)
        {
            int t = 0, i = 0;
            wchar_t rest[200] = {};
            ASSERT_EQ(3, std::swscanf(MessageColumn(line).c_str(), L"T%d #%d %199ls", &t, &i, rest)) << line;
            EXPECT_EQ(payload, rest);
            EXPECT_EQ(next[t]++, i) << "thread " << t;
        }
    }
}
