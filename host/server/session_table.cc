#include "session_table.h"

namespace vantor {

SessionTable::SessionTable() = default;
SessionTable::~SessionTable() = default;

Dialog *SessionTable::Add(void *handle) {
    auto dialog = std::make_unique<Dialog>();
    dialog->id = next_id_++;
    dialog->handle = handle;
    Dialog *raw = dialog.get();
    dialogs_[handle] = std::move(dialog);
    return raw;
}

Dialog *SessionTable::Find(void *handle) const {
    auto it = dialogs_.find(handle);
    return it == dialogs_.end() ? nullptr : it->second.get();
}

void SessionTable::Remove(void *handle) {
    auto it = dialogs_.find(handle);
    if (it == dialogs_.end()) return;
    for (const auto &channel : it->second->channels) Unindex(channel.get());
    dialogs_.erase(it);
}

std::vector<Dialog *> SessionTable::All() const {
    std::vector<Dialog *> all;
    for (const auto &entry : dialogs_) all.push_back(entry.second.get());
    return all;
}

bool SessionTable::HasSession(const std::string &session_id) const {
    for (const auto &entry : dialogs_)
        if (entry.second->session_id == session_id) return true;
    return false;
}

void SessionTable::Index(ServerChannel *channel) {
    by_identifier_[channel->identifier] = channel;
    by_name_[channel->name] = channel;
}

void SessionTable::Unindex(ServerChannel *channel) {
    auto id = by_identifier_.find(channel->identifier);
    if (id != by_identifier_.end() && id->second == channel) by_identifier_.erase(id);
    auto name = by_name_.find(channel->name);
    if (name != by_name_.end() && name->second == channel) by_name_.erase(name);
}

ServerChannel *SessionTable::FindByIdentifier(const std::string &identifier) const {
    auto it = by_identifier_.find(identifier);
    return it == by_identifier_.end() ? nullptr : it->second;
}

ServerChannel *SessionTable::FindByName(const std::string &name) const {
    auto it = by_name_.find(name);
    return it == by_name_.end() ? nullptr : it->second;
}

void SessionTable::Unbind(const MrcpConnection *connection) {
    for (auto &entry : by_name_)
        if (entry.second->connection == connection) entry.second->connection = nullptr;
}

}  // namespace vantor
