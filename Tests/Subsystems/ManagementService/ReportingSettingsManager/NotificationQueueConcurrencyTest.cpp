// The manager's notification queue: one consumer, producers on any thread, and a stop that lets
// the consumer finish what was queued before it.
#include "Subsystems/ManagementService/ReportingSettingsManager/NotificationQueue.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace
{
using ManagementService::CNotificationQueue;
using ManagementService::TNotificationItem;

TEST(NotificationQueue, ConsumerSeesEveryProducersItemsInOrderUntilTheStop)
{
    constexpr std::uint32_t kPerProducer = 2000;
    CNotificationQueue queue;
    std::vector<std::uint32_t> next(4, 0);
    std::uint32_t received = 0;
    std::thread consumer(
        [&]
        {
            // The type carries producer and sequence number.
            while (auto item = queue.Pop())
            {
                const std::uint32_t producer = item->type >> 24;
                EXPECT_EQ(item->type & 0xFFFFFF, next[producer]++);
                ++received;
            }
        });
    std::vector<std::thread> producers;
    for (std::uint32_t p = 0; p < 4; ++p)
    {
        producers.emplace_back(
            [&queue, p]
            {
                for (std::uint32_t i = 0; i < kPerProducer; ++i)
                {
                    queue.Push(TNotificationItem{(p << 24) | i, {}, false, {}});
                }
            });
    }
    for (auto& producer : producers)
    {
        producer.join();
    }
    queue.Stop();
    consumer.join();
    EXPECT_EQ(received, 4 * kPerProducer);
}

TEST(NotificationQueue, StopDeliversWhatWasQueuedRefusesMoreAndWakesAWaitingConsumer)
{
    CNotificationQueue queue;
    queue.Push(TNotificationItem{1, {}, false, {}});
    queue.Stop();
    queue.Push(TNotificationItem{4, {}, false, {}}); // after the stop: no consumer would deliver it
    auto first = queue.Pop();
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->type, 1u);
    EXPECT_FALSE(queue.Pop().has_value());

    CNotificationQueue empty;
    std::thread consumer([&] { EXPECT_FALSE(empty.Pop().has_value()); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    empty.Stop();
    consumer.join();
}
} // namespace
