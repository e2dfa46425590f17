#include "pending_answers.h"

namespace vantor {

void PendingAnswers::Expect(HostChannel *host, Dialog *dialog, bool closing,
                            std::chrono::milliseconds timeout) {
    Entry &entry = entries_[host];
    entry.host = host;
    entry.dialog = dialog;
    entry.closing = closing;
    entry.given_up = false;
    entry.deadline = Clock::now() + timeout;
}

PendingAnswers::Entry *PendingAnswers::Find(HostChannel *host) {
    auto it = entries_.find(host);
    return it == entries_.end() ? nullptr : &it->second;
}

PendingAnswers::Entry PendingAnswers::Take(HostChannel *host) {
    auto it = entries_.find(host);
    Entry entry = it->second;
    entries_.erase(it);
    return entry;
}

void PendingAnswers::GiveUp(Entry entry) {
    entry.dialog = nullptr;
    entry.given_up = true;
    entries_[entry.host] = entry;
}

void PendingAnswers::Detach(HostChannel *host) {
    if (Entry *entry = Find(host)) entry->dialog = nullptr;
}

bool PendingAnswers::NextDeadline(Clock::time_point *when) const {
    bool any = false;
    for (const auto &item : entries_) {
        const Entry &entry = item.second;
        if (entry.given_up) continue;
        if (!any || entry.deadline < *when) *when = entry.deadline;
        any = true;
    }
    return any;
}

std::vector<HostChannel *> PendingAnswers::Late(Clock::time_point now) const {
    std::vector<HostChannel *> late;
    for (const auto &item : entries_)
        if (!item.second.given_up && item.second.deadline <= now) late.push_back(item.first);
    return late;
}

bool PendingAnswers::Answered(const Entry &entry) {
    const Answer &answer = entry.closing ? entry.host->close_answer() : entry.host->open_answer();
    return answer.Count() > 0;
}

}  // namespace vantor
