#include "db/dispatchers.h"

#include "db/sql_connections.h"
#include "support/text_utils.h"

namespace qm {

TDBDispatcher* TDBDispatchers::Find(const std::string& name) const {
  for (TDBDispatcher* dispatcher : *this) {
    if (dispatcher->FName == name)
      return dispatcher;
  }
  return nullptr;
}

void TDBDispatchers::RegisterDispatcher(const std::string& name, const std::string& channel,
                                        TDBDispatcherProc event) {
  if (Find(name) != nullptr)
    throw Exception("duplicate name");
  auto dispatcher = std::make_unique<TDBDispatcher>();
  dispatcher->FName = name;
  dispatcher->FChannel = channel;
  dispatcher->FEvent = std::move(event);
  Add(std::move(dispatcher));

  TDBChannel* used = FChannels.Find(channel);
  if (used == nullptr) {
    auto created = std::make_unique<TDBChannel>();
    created->FName = channel;
    used = FChannels.Add(std::move(created));
  }
  if (++used->FCount == 1)
    FDB->StartListen(channel);
}

void TDBDispatchers::UnregisterDispatcher(const std::string& name) {
  TDBDispatcher* dispatcher = Find(name);
  if (dispatcher == nullptr)
    return;
  const std::string channel = dispatcher->FChannel;
  Remove(dispatcher);
  TDBChannel* used = FChannels.Find(channel);
  if (used != nullptr && --used->FCount <= 0) {
    const std::string listened = used->FName;  // as StartListen was given it
    FChannels.Remove(used);
    FDB->StopListen(listened);
  }
}

void TDBDispatchers::Process() {
  if (Empty())
    return;
  std::vector<TmncNotification> list = FDB->ReceiveNotifications();
  while (!list.empty()) {
    const TmncNotification last = list.back();
    bool matched = false;
    for (int i = 0; i < Count(); ++i) {
      TDBDispatcher* dispatcher = Items(i);
      if (SameText(dispatcher->FChannel, last.Channel)) {
        matched = true;
        bool handled = false;
        if (dispatcher->FEvent)
          dispatcher->FEvent(last.Payload, last.PID, handled);
      }
    }
    if (matched) {
      std::erase_if(list,
                    [&](const TmncNotification& n) { return SameText(n.Channel, last.Channel); });
    } else {
      list.pop_back();
    }
  }
}

}  // namespace qm
