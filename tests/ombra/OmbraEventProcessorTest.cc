// Event processor: ordering, start and shut-down, observers, and events that
// are released without being processed.
#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>
#include <utility>
#include <vector>

#include "OmbraSoftEventProcessor.h"
#include "OmbraTestSupport.h"

using KoralTest::CallEvent;
using KoralTest::Post;
using KoralTest::WaitUntil;
using Log = std::vector<std::string>;
using Ombra::AsyncEvent;
using Ombra::SoftEventProcessor;

namespace {

// What the events of one test did. Written on the processor thread, read by
// the test after the thread was joined (or through the atomics).
struct Tally {
    std::atomic<int> processed{0};
    std::atomic<int> destroyed{0};
    std::vector<int> order;
};

class TallyEvent : public AsyncEvent {
  public:
    TallyEvent(Tally &tally, int tag) : m_Tally(tally), m_Tag(tag) {}
    ~TallyEvent() override { m_Tally.destroyed++; }
    void Process() override {
        m_Tally.order.push_back(m_Tag);
        m_Tally.processed++;
    }

  private:
    Tally &m_Tally;
    int m_Tag;
};

class RecordingObserver : public SoftEventProcessor::Observer {
  public:
    RecordingObserver(Log &log, std::string name, bool accept)
        : m_Log(log), m_Name(std::move(name)), m_Accept(accept) {}
    bool OnStart(SoftEventProcessor *processor) override {
        m_Log.push_back("start " + m_Name);
        return m_Accept;
    }
    void OnShutdown(SoftEventProcessor *processor) override {
        m_Log.push_back("shutdown " + m_Name);
    }

  private:
    Log &m_Log;
    std::string m_Name;
    bool m_Accept;
};

TEST(AsyncEventTest, UnrefAtZeroDoesNothingAndLastUnrefDeletes) {
    Tally tally;
    TallyEvent *event = new TallyEvent(tally, 0);
    event->Unref();
    EXPECT_EQ(0, tally.destroyed);
    event->Ref();
    event->Ref();
    event->Unref();
    EXPECT_EQ(0, tally.destroyed);
    EXPECT_EQ(1u, event->GetRefCount());
    event->Unref();
    EXPECT_EQ(1, tally.destroyed);
}

// Events posted before the start run once started, all in posting order; a
// shutdown with wait drains the queue, then joins (observers told), and
// the processor can be started again; an event posted while processing runs
// after those queued before it; deleting a running processor shuts it down.
TEST(SoftEventProcessorTest, ProcessesInPostingOrderDrainsAtShutdownAndRestarts) {
    Tally tally;
    Log log;
    RecordingObserver observer(log, "a", true);
    {
        SoftEventProcessor processor;
        processor.AddObserver(&observer);
        for (int i = 0; i < 3; i++) Post(processor, new TallyEvent(tally, i));
        ASSERT_TRUE(processor.Start());
        EXPECT_FALSE(processor.Start());
        for (int i = 3; i < 1000; i++) ASSERT_TRUE(Post(processor, new TallyEvent(tally, i)));
        ASSERT_TRUE(processor.Shutdown(true));

        // Everything below was written by the joined thread.
        ASSERT_EQ(1000u, tally.order.size());
        for (int i = 0; i < 1000; i++) EXPECT_EQ(i, tally.order[i]);
        EXPECT_EQ(1000, tally.destroyed);
        EXPECT_EQ((Log{"start a", "shutdown a"}), log);
        EXPECT_FALSE(processor.Shutdown(true));

        // On the processor thread, the call and event 2 are queued before the
        // call runs, so the event it posts comes last.
        tally.order.clear();
        ASSERT_TRUE(processor.Start());
        Post(processor, new CallEvent([&]() {
                 Post(processor, new CallEvent([&]() {
                          tally.order.push_back(1);
                          Post(processor, new TallyEvent(tally, 3));
                      }));
                 Post(processor, new TallyEvent(tally, 2));
             }));
        // Event 3 is posted before event 2 runs: the deletion must process it.
        ASSERT_TRUE(WaitUntil([&]() { return tally.processed >= 1001; }));
    }
    EXPECT_EQ(1002, tally.processed);
    EXPECT_EQ((std::vector<int>{1, 2, 3}), tally.order);
    EXPECT_EQ((Log{"start a", "shutdown a", "start a", "shutdown a"}), log);
}

TEST(SoftEventProcessorTest, KeepsEachPostersOrderAcrossThreads) {
    Tally tally;
    SoftEventProcessor processor;
    ASSERT_TRUE(processor.Start());
    const int kPerThread = 500;
    std::vector<std::thread> posters;
    posters.reserve(3);
    for (int t = 0; t < 3; t++) {
        posters.emplace_back([&, t]() {
            for (int i = 0; i < kPerThread; i++)
                Post(processor, new TallyEvent(tally, t * kPerThread + i));
        });
    }
    for (std::thread &poster : posters) poster.join();
    ASSERT_TRUE(processor.Shutdown(true));

    ASSERT_EQ(3u * kPerThread, tally.order.size());
    std::vector<int> last(3, -1);
    for (int tag : tally.order) {
        int t = tag / kPerThread;
        EXPECT_GT(tag, last[t]);
        last[t] = tag;
    }
}

TEST(SoftEventProcessorTest, ShutdownWithoutWaitReturnsAtOnceAndLaterEventsAreDropped) {
    Tally tally;
    std::promise<void> open;
    std::atomic<bool> entered{false};
    SoftEventProcessor processor;
    ASSERT_TRUE(processor.Start());

    Post(processor, new TallyEvent(tally, 1));
    std::shared_future<void> gate = open.get_future().share();
    Post(processor, new CallEvent([&]() {  // holds the thread until the gate opens
             entered = true;
             gate.wait();
         }));
    ASSERT_TRUE(WaitUntil([&]() { return entered.load(); }));
    // The thread is held inside an event: returning proves no wait happened.
    ASSERT_TRUE(processor.Shutdown(false));
    for (int i = 0; i < 5; i++) Post(processor, new TallyEvent(tally, 100 + i));
    open.set_value();
    ASSERT_TRUE(processor.WaitForShutdown());

    EXPECT_EQ(1, tally.processed);
    EXPECT_EQ(6, tally.destroyed);  // the five behind the exit event, unprocessed
    EXPECT_FALSE(processor.Shutdown(true));
}

// Events posted to a processor that never started, or after its shutdown,
// or to one whose observer refused the start, are released with it, never
// processed; a never-started processor cannot shut down; observers after the
// refusing one are not asked.
TEST(SoftEventProcessorTest, EventsNeverProcessedAreReleasedWithTheProcessor) {
    Tally tally;
    {
        SoftEventProcessor processor;
        EXPECT_FALSE(processor.Shutdown(true));
        EXPECT_FALSE(processor.Shutdown(false));
        Post(processor, new TallyEvent(tally, 1));
    }
    {
        SoftEventProcessor processor;
        ASSERT_TRUE(processor.Start());
        ASSERT_TRUE(processor.Shutdown(true));
        Post(processor, new TallyEvent(tally, 2));
    }
    Log log;
    RecordingObserver first(log, "a", true), refusing(log, "b", false), third(log, "c", true);
    {
        SoftEventProcessor processor;
        processor.AddObserver(&first);
        processor.AddObserver(&refusing);
        processor.AddObserver(&third);
        ASSERT_TRUE(processor.Start());
        Post(processor, new TallyEvent(tally, 3));
        ASSERT_TRUE(processor.Shutdown(true));
    }
    EXPECT_EQ((Log{"start a", "start b"}), log);
    EXPECT_EQ(0, tally.processed);
    EXPECT_EQ(3, tally.destroyed);
}

}  // namespace
