// The channels whose open or close the plugin has not answered yet, each with
// the time its answer is due. The server's loop never waits for the plugin:
// it notes here what it expects, takes each answer as it comes, and gives up
// on those late.
#pragma once

#include <chrono>
#include <map>
#include <vector>

#include "engine_host.h"

namespace vantor {

struct Dialog;

class PendingAnswers {
  public:
    using Clock = std::chrono::steady_clock;

    struct Entry {
        HostChannel *host = nullptr;
        Dialog *dialog = nullptr;  // null once the channel left its dialog
        bool closing = false;      // the close is awaited, else the open
        Clock::time_point deadline;
        bool given_up = false;  // its open timed out: closed if it ever answers
    };

    // Awaits the open (or close) of the channel, due within timeout; replaces
    // what was awaited of it before.
    void Expect(HostChannel *host, Dialog *dialog, bool closing, std::chrono::milliseconds timeout);
    // Null when nothing is awaited of the channel.
    Entry *Find(HostChannel *host);
    // Removes the channel's entry and returns it; it must exist.
    Entry Take(HostChannel *host);
    // Keeps awaiting a late open with no dialog and no deadline: if the plugin
    // ever answers, the channel is closed.
    void GiveUp(Entry entry);
    // The channel left its dialog while its answer is awaited.
    void Detach(HostChannel *host);

    bool empty() const { return entries_.empty(); }
    const Entry &front() const { return entries_.begin()->second; }
    // The earliest deadline of the entries not given up on; false if none.
    bool NextDeadline(Clock::time_point *when) const;
    // The channels whose answer is due by now and not given up on.
    std::vector<HostChannel *> Late(Clock::time_point now) const;
    // Whether the plugin has answered what the entry awaits.
    static bool Answered(const Entry &entry);

  private:
    std::map<HostChannel *, Entry> entries_;
};

}  // namespace vantor
