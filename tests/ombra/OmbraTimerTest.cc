// Timers and the timer queue: order of equal expiries, the periodic rebase,
// stop requests, refused timeouts, a clock going backwards, and timers whose
// requests never reach the processor thread.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "OmbraSoftEventProcessor.h"
#include "OmbraTestSupport.h"
#include "OmbraTimer.h"
#include "OmbraTimerQueue.h"

using KoralTest::CallEvent;
using KoralTest::FakeClock;
using KoralTest::ManualProcessor;
using KoralTest::Post;
using KoralTest::WaitUntil;
using Ombra::Timer;
using Ombra::TimerQueue;
using Log = std::vector<std::string>;

namespace {

// Records every callback as "<kind> <name>"; names come from a map of timers.
// Deletes the AUTO_DELETE one-shot timers that fire, as their owner.
class RecordingHandler : public Ombra::TimerHandler {
  public:
    void Name(Timer *timer, const std::string &name) { m_Names[timer] = name; }
    void OnTimerStarted(Timer *timer) override { m_Log.push_back("started " + NameOf(timer)); }
    void OnTimerStopped(Timer *timer) override { m_Log.push_back("stopped " + NameOf(timer)); }
    void OnTimeoutElapsed(Timer *timer) override {
        m_Log.push_back("elapsed " + NameOf(timer));
        if (m_OnElapsed)
            m_OnElapsed(timer);
        else if (timer->GetType() == Timer::ONE_SHOT && timer->GetLifeTime() == Timer::AUTO_DELETE)
            delete timer;  // a fired one-shot timer is its owner's to delete
    }
    Log Take() {
        Log log;
        log.swap(m_Log);
        return log;
    }
    std::function<void(Timer *)> m_OnElapsed;

  private:
    std::string NameOf(Timer *timer) const {
        auto found = m_Names.find(timer);
        return found == m_Names.end() ? "?" : found->second;
    }
    std::map<Timer *, std::string> m_Names;  // a new timer may reuse an old one's address
    Log m_Log;
};

// A queue on a clock the test sets, and a processor pumped by hand for the
// start and stop requests.
class TimerTest : public testing::Test {
  protected:
    void SetUp() override {
        m_Queue.SetClock(m_Clock.Source());
        m_Processor.GetTimerQueue()->SetClock(m_Clock.Source());
    }
    Timer *Make(const std::string &name, int64_t timeout, Timer::Type type = Timer::ONE_SHOT,
                Timer::LifeTime lifeTime = Timer::AUTO_DELETE) {
        Timer *timer = new Timer(&m_Handler, timeout, type, lifeTime);
        m_Handler.Name(timer, name);
        return timer;
    }
    bool AdvanceProcessor(int64_t ms) {
        m_Clock.AdvanceMs(ms);
        return m_Processor.GetTimerQueue()->Advance();
    }

    FakeClock m_Clock;
    RecordingHandler m_Handler;
    TimerQueue m_Queue;  // deletes the AUTO_DELETE timers it still holds
    ManualProcessor m_Processor;
};

// One queue through every step; each leaves it empty.
TEST_F(TimerTest, QueueOrderArithmeticRemovalAndRefusals) {
    {
        SCOPED_TRACE("equal expiries fire in the order they were added");
        const std::pair<const char *, int> timers[] = {
            {"a", 100}, {"b", 100}, {"c", 50}, {"d", 100}, {"e", 70}};
        for (const auto &[name, timeout] : timers)
            ASSERT_TRUE(m_Queue.AddTimer(Make(name, timeout)));
        m_Handler.Take();
        EXPECT_EQ(50, m_Queue.GetTimeout());
        m_Clock.AdvanceMs(100);
        ASSERT_TRUE(m_Queue.Advance());
        EXPECT_EQ((Log{"elapsed c", "elapsed e", "elapsed a", "elapsed b", "elapsed d"}),
                  m_Handler.Take());
        EXPECT_TRUE(m_Queue.IsEmpty());
        EXPECT_EQ(0, m_Queue.GetElapsed());
    }
    {
        SCOPED_TRACE("zero and negative timeouts, no timer, no handler: never queued");
        EXPECT_FALSE(m_Queue.AddTimer(Make("zero", 0)));
        EXPECT_FALSE(m_Queue.AddTimer(Make("negative", -5, Timer::PERIODIC)));
        EXPECT_FALSE(m_Queue.AddTimer(nullptr));
        EXPECT_FALSE(m_Queue.AddTimer(new Timer(nullptr, 10, Timer::ONE_SHOT, Timer::AUTO_DELETE)));
        EXPECT_TRUE(m_Queue.IsEmpty());
        EXPECT_TRUE(m_Handler.Take().empty());  // no OnTimerStarted
        // The refused AUTO_DELETE timers are deleted with the queue.
    }
    {
        SCOPED_TRACE("expiries count from the last advance");
        ASSERT_TRUE(m_Queue.AddTimer(Make("a", 1000)));
        m_Clock.AdvanceMs(300);
        ASSERT_TRUE(m_Queue.Advance());
        m_Clock.AdvanceMs(200);  // no Advance: the next timer counts from 300
        ASSERT_TRUE(m_Queue.AddTimer(Make("b", 150)));
        EXPECT_EQ(150, m_Queue.GetTimeout());  // seen from 300, though it is 500
        m_Handler.Take();
        ASSERT_TRUE(m_Queue.Advance());
        EXPECT_EQ((Log{"elapsed b"}), m_Handler.Take());
        EXPECT_EQ(500, m_Queue.GetTimeout());
        m_Clock.AdvanceMs(500);
        ASSERT_TRUE(m_Queue.Advance());
        EXPECT_EQ((Log{"elapsed a"}), m_Handler.Take());
    }
    {
        SCOPED_TRACE("sub-millisecond advances add up");
        ASSERT_TRUE(m_Queue.AddTimer(Make("a", 2)));
        for (int i = 0; i < 5; i++) {
            m_Clock.AdvanceUs(400);
            ASSERT_TRUE(m_Queue.Advance());
        }
        EXPECT_EQ((Log{"started a", "elapsed a"}), m_Handler.Take());
    }
    {
        SCOPED_TRACE("removal dequeues, reports and deletes; adding again requeues");
        Timer *a = Make("a", 100);
        ASSERT_TRUE(m_Queue.AddTimer(a));
        ASSERT_TRUE(m_Queue.AddTimer(Make("b", 200)));
        m_Clock.AdvanceMs(50);
        ASSERT_TRUE(m_Queue.Advance());
        ASSERT_TRUE(m_Queue.RemoveTimer(a));  // deleted: AUTO_DELETE
        EXPECT_EQ(1u, m_Queue.GetTimers().size());
        EXPECT_EQ(50, m_Queue.GetElapsed());
        ASSERT_TRUE(m_Queue.RemoveTimer(m_Queue.GetTimers().front()));
        EXPECT_TRUE(m_Queue.IsEmpty());
        EXPECT_EQ(0, m_Queue.GetElapsed());
        EXPECT_FALSE(m_Queue.RemoveTimer(nullptr));
        EXPECT_EQ((Log{"started a", "started b", "stopped a", "stopped b"}), m_Handler.Take());

        a = Make("a", 100);
        ASSERT_TRUE(m_Queue.AddTimer(a));
        ASSERT_TRUE(m_Queue.AddTimer(Make("b", 150)));
        m_Clock.AdvanceMs(80);
        ASSERT_TRUE(m_Queue.Advance());
        ASSERT_TRUE(m_Queue.AddTimer(a));  // now due at 180
        EXPECT_EQ(2u, m_Queue.GetTimers().size());
        m_Clock.AdvanceMs(100);
        ASSERT_TRUE(m_Queue.Advance());
        EXPECT_EQ((Log{"started a", "started b", "started a", "elapsed b", "elapsed a"}),
                  m_Handler.Take());
    }
    {
        SCOPED_TRACE("a clock going backwards fires nothing until it catches up");
        ASSERT_TRUE(m_Queue.AddTimer(Make("a", 1000)));
        m_Handler.Take();
        m_Clock.AdvanceMs(500);
        ASSERT_TRUE(m_Queue.Advance());
        EXPECT_EQ(500, m_Queue.GetElapsed());
        m_Clock.AdvanceMs(-2000);
        EXPECT_FALSE(m_Queue.Advance());
        EXPECT_EQ(500, m_Queue.GetElapsed());
        m_Clock.AdvanceMs(1900);  // still 100 ms before the last update
        EXPECT_FALSE(m_Queue.Advance());
        EXPECT_TRUE(m_Handler.Take().empty());
        m_Clock.AdvanceMs(600);  // 500 ms past the last update
        ASSERT_TRUE(m_Queue.Advance());
        EXPECT_EQ((Log{"elapsed a"}), m_Handler.Take());
    }
}

// The queue rebases its times past 65534 ms: a long timer keeps its
// remaining time, a periodic one its period.
TEST_F(TimerTest, RebaseKeepsRemainingTimesAndPeriods) {
    ASSERT_TRUE(m_Queue.AddTimer(Make("long", 100000)));
    m_Clock.AdvanceMs(66000);
    ASSERT_TRUE(m_Queue.Advance());
    EXPECT_EQ(0, m_Queue.GetElapsed());
    EXPECT_EQ(34000, m_Queue.GetTimeout());
    EXPECT_EQ((Log{"started long"}), m_Handler.Take());
    m_Clock.AdvanceMs(34000);
    ASSERT_TRUE(m_Queue.Advance());
    EXPECT_EQ((Log{"elapsed long"}), m_Handler.Take());

    ASSERT_TRUE(m_Queue.AddTimer(Make("p", 1000, Timer::PERIODIC)));
    std::vector<apr_time_t> fires;
    m_Handler.m_OnElapsed = [&](Timer *) { fires.push_back(m_Clock.Now()); };
    const apr_time_t start = m_Clock.Now();
    bool rebased = false;
    // 140 s of queue time in steps of 250 ms, more than twice past 65534 ms.
    for (int step = 0; step < 560; step++) {
        m_Clock.AdvanceMs(250);
        ASSERT_TRUE(m_Queue.Advance());
        EXPECT_LE(m_Queue.GetElapsed(), TimerQueue::kRebaseThreshold);
        if (step > 0 && m_Queue.GetElapsed() < 250) rebased = true;
    }
    EXPECT_TRUE(rebased);
    ASSERT_EQ(140u, fires.size());
    for (size_t i = 0; i < fires.size(); i++)
        EXPECT_EQ(start + apr_time_from_msec(1000 * (i + 1)), fires[i]) << "fire " << i;
}

// Start and stop requests through a processor pumped by hand.
TEST_F(TimerTest, StartAndStopRequests) {
    {
        SCOPED_TRACE("start and stop only post requests");
        Timer *timer = Make("a", 100);
        EXPECT_FALSE(timer->Stop());  // no processor yet
        EXPECT_FALSE(timer->Start(nullptr));
        ASSERT_TRUE(timer->Start(&m_Processor));
        EXPECT_TRUE(timer->IsStarted());
        EXPECT_FALSE(timer->Start(&m_Processor));
        EXPECT_TRUE(m_Handler.Take().empty());
        EXPECT_EQ(1u, m_Processor.Pump());
        EXPECT_EQ((Log{"started a"}), m_Handler.Take());
        ASSERT_TRUE(timer->Stop());
        EXPECT_TRUE(timer->IsStopping());
        EXPECT_FALSE(timer->Stop());
        EXPECT_EQ(1u, m_Processor.Pump());
        EXPECT_EQ((Log{"stopped a"}), m_Handler.Take());
    }
    {
        SCOPED_TRACE("a stop before the expiry suppresses the callback");
        Timer *timer = Make("a", 100);
        ASSERT_TRUE(timer->Start(&m_Processor));
        m_Processor.Pump();
        ASSERT_TRUE(timer->Stop());
        ASSERT_TRUE(AdvanceProcessor(150));  // due, but stopping: skipped
        EXPECT_TRUE(m_Processor.GetTimerQueue()->IsEmpty());
        m_Processor.Pump();
        EXPECT_EQ((Log{"started a", "stopped a"}), m_Handler.Take());
    }
    {
        SCOPED_TRACE("a stop ends a periodic timer's callbacks");
        Timer *timer = Make("p", 10, Timer::PERIODIC);
        ASSERT_TRUE(timer->Start(&m_Processor));
        m_Processor.Pump();
        ASSERT_TRUE(AdvanceProcessor(10));
        ASSERT_TRUE(timer->Stop());
        m_Processor.Pump();
        ASSERT_TRUE(AdvanceProcessor(50));
        EXPECT_EQ((Log{"started p", "elapsed p", "stopped p"}), m_Handler.Take());
    }
    {
        SCOPED_TRACE("a fired one-shot timer can be started again");
        Timer *timer = Make("m", 10, Timer::ONE_SHOT, Timer::MANUAL_DELETE);
        for (int round = 0; round < 2; round++) {
            ASSERT_TRUE(timer->Start(&m_Processor));
            m_Processor.Pump();
            ASSERT_TRUE(AdvanceProcessor(10));
            EXPECT_FALSE(timer->IsStarted());
            EXPECT_EQ(0, timer->GetExpiry());
        }
        EXPECT_EQ((Log{"started m", "elapsed m", "started m", "elapsed m"}), m_Handler.Take());
        delete timer;
    }
    {
        SCOPED_TRACE("a stop request for a timer its owner deleted does nothing");
        // The owner stops its fired timer, then deletes it as fired one-shot
        // timers are deleted by their owners.
        m_Handler.m_OnElapsed = [](Timer *fired) {
            fired->Stop();
            delete fired;
        };
        ASSERT_TRUE(Make("a", 10)->Start(&m_Processor));
        m_Processor.Pump();
        ASSERT_TRUE(AdvanceProcessor(10));
        EXPECT_EQ(1u, m_Processor.Pump());  // the stop request finds no timer
        EXPECT_EQ((Log{"started a", "elapsed a"}), m_Handler.Take());
    }
}

// Requests left queued when the processor ends are released unprocessed:
// their AUTO_DELETE timers are deleted with it, MANUAL_DELETE ones left to
// their owner (leaks or a double delete would show under the sanitizers).
TEST_F(TimerTest, TimersWhoseRequestsWereNeverProcessedGoWithTheProcessor) {
    Timer *manual = Make("m", 10, Timer::ONE_SHOT, Timer::MANUAL_DELETE);
    {
        ManualProcessor processor;
        Timer *startedThenStopped = Make("p", 10, Timer::PERIODIC);
        ASSERT_TRUE(startedThenStopped->Start(&processor));
        ASSERT_TRUE(Make("zero", 0)->Start(&processor));  // refused when processed
        ASSERT_TRUE(manual->Start(&processor));
        processor.Pump();
        EXPECT_EQ(2u, processor.GetTimerQueue()->GetTimers().size());
        ASSERT_TRUE(startedThenStopped->Stop());
        ASSERT_TRUE(Make("never", 10)->Start(&processor));
    }
    EXPECT_EQ((Log{"started p", "started m"}), m_Handler.Take());  // none from the drop
    delete manual;
}

// Timers on a real processor thread.
class CountingHandler : public Ombra::TimerHandler {
  public:
    void OnTimerStopped(Timer *timer) override { stopped++; }
    void OnTimeoutElapsed(Timer *timer) override {
        order.push_back(timer);
        fired++;
        if (onElapsed) onElapsed();
    }
    std::function<void()> onElapsed;  // on the processor thread
    std::atomic<int> fired{0};
    std::atomic<int> stopped{0};
    std::vector<Timer *> order;  // processor thread; read after the join
};

// A periodic timer runs until stopped from another thread; timers started
// together fire in start order; a timer started after the loop ended (from
// the shutdown observer) is deleted with the processor, unfired.
TEST(ProcessorTimerTest, PeriodicStopStartOrderAndLateStart) {
    struct LateStarter : Ombra::SoftEventProcessor::Observer {
        explicit LateStarter(Ombra::TimerHandler &h) : handler(h) {}
        void OnShutdown(Ombra::SoftEventProcessor *processor) override {
            Timer *timer = new Timer(&handler, 10, Timer::ONE_SHOT, Timer::AUTO_DELETE);
            timer->Start(processor);  // request dropped unprocessed
        }
        Ombra::TimerHandler &handler;
    };
    CountingHandler periodic, handler;
    LateStarter observer(handler);
    Ombra::SoftEventProcessor processor;
    processor.AddObserver(&observer);
    ASSERT_TRUE(processor.Start());

    Timer *timer = new Timer(&periodic, 5, Timer::PERIODIC, Timer::AUTO_DELETE);
    ASSERT_TRUE(timer->Start(&processor));
    ASSERT_TRUE(WaitUntil([&]() { return periodic.fired >= 3; }));
    ASSERT_TRUE(timer->Stop());
    ASSERT_TRUE(WaitUntil([&]() { return periodic.stopped == 1; }));
    const int fired = periodic.fired;

    std::vector<Timer *> timers;
    for (int i = 0; i < 4; i++)
        timers.push_back(new Timer(&handler, 20, Timer::ONE_SHOT, Timer::MANUAL_DELETE));
    Post(processor, new CallEvent([&]() {
             for (Timer *one : timers) one->Start(&processor);
         }));
    ASSERT_TRUE(WaitUntil([&]() { return handler.fired == 4; }));
    ASSERT_TRUE(processor.Shutdown(true));
    EXPECT_EQ(fired, periodic.fired);
    EXPECT_EQ(timers, handler.order);
    EXPECT_EQ(4, handler.fired);
    for (Timer *one : timers) delete one;
}

TEST(ProcessorTimerTest, TimersAreServicedEveryEleventhEventOfABurst) {
    FakeClock clock;
    const apr_time_t start = clock.Now();
    Ombra::SoftEventProcessor processor;
    processor.GetTimerQueue()->SetClock(clock.Source());
    ASSERT_TRUE(processor.Start());
    int index = 0;             // processor thread
    std::vector<int> firedAt;  // the index of the event stream at each expiry
    CountingHandler recorder;
    recorder.onElapsed = [&]() { firedAt.push_back(index); };
    // Each event of the stream moves the clock by 1 ms and posts the next, so
    // the queue never runs empty and only the burst count services timers.
    std::function<void()> step = [&]() {
        index++;
        clock.AdvanceMs(1);
        if (index < 200) Post(processor, new CallEvent(step));
    };
    Timer *timer = new Timer(&recorder, 1, Timer::PERIODIC, Timer::AUTO_DELETE);
    Post(processor, new CallEvent([&]() {
             timer->Start(&processor);
             Post(processor, new CallEvent(step));
         }));
    ASSERT_TRUE(WaitUntil([&]() { return clock.Now() >= start + apr_time_from_msec(200); }));
    ASSERT_TRUE(processor.Shutdown(true));

    ASSERT_GE(firedAt.size(), 10u);
    EXPECT_LE(firedAt[0], 11);
    for (size_t i = 1; i < firedAt.size() && firedAt[i] < 190; i++)
        EXPECT_EQ(11, firedAt[i] - firedAt[i - 1]) << "fire " << i;
}

}  // namespace
