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

using KoralTest::WaitUntil;
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

// Blocks the processor thread until the test opens the gate.
class GateEvent : public AsyncEvent {
  public:
    GateEvent(std::shared_future<void> gate, std::atomic<bool> &entered)
        : m_Gate(std::move(gate)), m_Entered(entered) {}
    void Process() override {
        m_Entered = true;
        m_Gate.wait();
    }

  private:
    std::shared_future<void> m_Gate;
    std::atomic<bool> &m_Entered;
};

// Runs a function on the processor thread.
class CallEvent : public AsyncEvent {
  public:
    explicit CallEvent(std::function<void()> call) : m_Call(std::move(call)) {}
    void Process() override { m_Call(); }

  private:
    std::function<void()> m_Call;
};

bool Post(SoftEventProcessor &processor, AsyncEvent *event) {
    event->Ref();
    return processor.PostEvent(event);
}

class RecordingObserver : public SoftEventProcessor::Observer {
  public:
    RecordingObserver(std::vector<std::string> &log, std::string name, bool accept)
        : m_Log(log), m_Name(std::move(name)), m_Accept(accept) {}
    bool OnStart(SoftEventProcessor *processor) override {
        m_Log.push_back("start " + m_Name);
        return m_Accept;
    }
    void OnShutdown(SoftEventProcessor *processor) override {
        m_Log.push_back("shutdown " + m_Name);
    }

  private:
    std::vector<std::string> &m_Log;
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
// the processor can be started again.
TEST(SoftEventProcessorTest, ProcessesInPostingOrderDrainsAtShutdownAndRestarts) {
    Tally tally;
    std::vector<std::string> log;
    RecordingObserver observer(log, "a", true);
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
    EXPECT_EQ((std::vector<std::string>{"start a", "shutdown a"}), log);
    EXPECT_FALSE(processor.Shutdown(true));

    ASSERT_TRUE(processor.Start());
    Post(processor, new TallyEvent(tally, 1000));
    ASSERT_TRUE(processor.Shutdown(true));
    EXPECT_EQ(1001u, tally.order.size());
    EXPECT_EQ(1000, tally.order.back());
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

TEST(SoftEventProcessorTest, EventPostedWhileProcessingRunsAfterIt) {
    Tally tally;
    SoftEventProcessor processor;
    // Both queued before the thread runs, so the inner post comes last.
    Post(processor, new CallEvent([&]() {
             tally.order.push_back(1);
             Post(processor, new TallyEvent(tally, 3));
         }));
    Post(processor, new TallyEvent(tally, 2));
    ASSERT_TRUE(processor.Start());
    ASSERT_TRUE(WaitUntil([&]() { return tally.processed == 2; }));
    ASSERT_TRUE(processor.Shutdown(true));
    EXPECT_EQ((std::vector<int>{1, 2, 3}), tally.order);
}

TEST(SoftEventProcessorTest, ShutdownWithoutWaitReturnsAtOnceAndLaterEventsAreDropped) {
    Tally tally;
    std::promise<void> open;
    std::atomic<bool> entered{false};
    SoftEventProcessor processor;
    ASSERT_TRUE(processor.Start());

    Post(processor, new TallyEvent(tally, 1));
    Post(processor, new GateEvent(open.get_future().share(), entered));
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
// are released with it, never processed; a never-started one cannot shut down.
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
    EXPECT_EQ(0, tally.processed);
    EXPECT_EQ(2, tally.destroyed);
}

TEST(SoftEventProcessorTest, ObserverRefusingStartEndsThreadWithoutProcessing) {
    Tally tally;
    std::vector<std::string> log;
    RecordingObserver first(log, "a", true), refusing(log, "b", false), third(log, "c", true);
    SoftEventProcessor processor;
    processor.AddObserver(&first);
    processor.AddObserver(&refusing);
    processor.AddObserver(&third);
    ASSERT_TRUE(processor.Start());
    Post(processor, new TallyEvent(tally, 1));
    ASSERT_TRUE(processor.Shutdown(true));

    EXPECT_EQ((std::vector<std::string>{"start a", "start b"}), log);
    EXPECT_EQ(0, tally.processed);
    EXPECT_EQ(1, tally.destroyed);
}

TEST(SoftEventProcessorTest, DeletingARunningProcessorShutsItDownFirst) {
    Tally tally;
    std::vector<std::string> log;
    RecordingObserver observer(log, "a", true);
    {
        SoftEventProcessor processor;
        processor.AddObserver(&observer);
        ASSERT_TRUE(processor.Start());
        Post(processor, new TallyEvent(tally, 1));
    }
    EXPECT_EQ(1, tally.processed);
    EXPECT_EQ((std::vector<std::string>{"start a", "shutdown a"}), log);
}

}  // namespace
