// The loop thread: start, event order, wake-ups from another thread,
// shut-down and the libevent log bridge.
#include <event2/event.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

#include "ClientTestSupport.h"
#include "KoralRxClient.h"

using namespace KoralTest;

namespace {

class OrderEvent : public KORAL::Event {
  public:
    OrderEvent(KORAL::WebSocketClient *c, std::vector<int> *order, int n, std::atomic<int> *deleted)
        : Event(c), m_Order(order), m_N(n), m_Deleted(deleted) {}
    ~OrderEvent() override { ++*m_Deleted; }
    void Process() override { m_Order->push_back(m_N); }
    std::vector<int> *m_Order;
    int m_N;
    std::atomic<int> *m_Deleted;
};

TEST(ClientLoop, EventsBeforeAndAfterStartRunInOrder) {
    KoralTest::InitAprOnce();
    LogCapture log;
    StartObserver observer;
    std::vector<int> order;  // written on the loop thread, read after join
    std::atomic<int> deleted{0};
    {
        KORAL::WebSocketClient client("WSL", false);
        client.SetObserver(&observer);
        EXPECT_FALSE(client.Shutdown(true)) << "nothing started";
        client.PostEvent(new OrderEvent(&client, &order, 1, &deleted));
        client.PostEvent(new OrderEvent(&client, &order, 2, &deleted));
        ASSERT_TRUE(client.Start(nullptr));
        ASSERT_TRUE(observer.WaitStarted());
        for (int i = 3; i <= 200; ++i) {
            client.PostEvent(new OrderEvent(&client, &order, i, &deleted));
        }
        EXPECT_TRUE(client.Shutdown(true));
        EXPECT_EQ(observer.Shutdowns(), 1);
        // Posted after the loop ended: deleted unrun.
        client.PostEvent(new OrderEvent(&client, &order, 999, &deleted));
        client.Cleanup();
    }
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i) {
        EXPECT_EQ(order[i], i + 1);
    }
    EXPECT_EQ(deleted.load(), 201);
    EXPECT_TRUE(log.Contains("Start HTTP client event loop", APT_PRIO_INFO));
    EXPECT_TRUE(log.Contains("Ended HTTP client event loop", APT_PRIO_INFO));
    EXPECT_FALSE(log.Contains("Wait for HTTP client event loop to start"));
}

TEST(ClientLoop, LibeventMessagesReachTheHostLogVerbatim) {
    LogCapture log;
    KORAL::EventLogCallback(EVENT_LOG_WARN, "100% %s %n odd");
    KORAL::EventLogCallback(EVENT_LOG_MSG, "a message");
    KORAL::EventLogCallback(EVENT_LOG_ERR, "an error");
    KORAL::EventLogCallback(EVENT_LOG_DEBUG, "a debug line");
    KORAL::EventLogCallback(42, "odd severity");
    EXPECT_TRUE(log.Contains("100% %s %n odd", APT_PRIO_WARNING));
    EXPECT_TRUE(log.Contains("a message", APT_PRIO_INFO));
    EXPECT_TRUE(log.Contains("an error", APT_PRIO_ERROR));
    EXPECT_TRUE(log.Contains("a debug line", APT_PRIO_DEBUG));
    EXPECT_TRUE(log.Contains("odd severity", APT_PRIO_DEBUG));
}

TEST(ClientLoop, RoundTripsNeverLoseAWakeUp) {
    // Post, wait for the answer, post again: each post meets the loop in a
    // different phase (asleep, waking, running an event), the idle loop
    // asleep in its dispatch among them.
    KoralTest::InitAprOnce();
    StartObserver observer;
    KORAL::WebSocketClient client("WSL", false);
    client.SetObserver(&observer);
    ASSERT_TRUE(client.Start(nullptr));
    ASSERT_TRUE(observer.WaitStarted());
    int lost = 0;
    for (int i = 1; i <= 5000 && lost == 0; ++i) {
        std::promise<void> answered;
        client.PostEvent(new PromiseEvent(&client, &answered));
        if (answered.get_future().wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            lost = i;
            client.Shutdown(true);  // the event is deleted unrun, before `answered` is
        }
    }
    EXPECT_EQ(lost, 0) << "round trip " << lost << " was never answered";
    client.Shutdown(true);
}

}  // namespace
