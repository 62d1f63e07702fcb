#pragma once

// Notification dispatchers of an SQL connection: named handlers, each listening on a channel.
// The connection listens on a channel while at least one dispatcher uses it. Not thread-safe:
// used under the owning connection's single-thread rule.

#include <cstdint>
#include <functional>
#include <string>

#include "support/object_list.h"

namespace qm {

class TmncSQLConnection;

using TDBDispatcherProc =
    std::function<void(const std::string& message, std::intptr_t pid, bool& handled)>;

class TDBDispatcher {
 public:
  std::string FName;
  std::string FChannel;
  TDBDispatcherProc FEvent;
  const std::string& Name() const { return FName; }
};

class TDBChannel {
 public:
  std::string FName;
  int FCount = 0;
  const std::string& Name() const { return FName; }
};

// Channels with their use counts; names compare ignoring case.
class TDBChannels : public TmnNamedObjectList<TDBChannel> {};

// Owning list of dispatchers; names compare exactly.
class TDBDispatchers : public TmnObjectList<TDBDispatcher> {
 public:
  // `db` is the owning connection (it outlives the list).
  explicit TDBDispatchers(TmncSQLConnection* db) : FDB(db) {}

  // Raises Exception "duplicate name" for a name already registered; a channel that becomes
  // used makes the connection StartListen on it.
  void RegisterDispatcher(const std::string& name, const std::string& channel,
                          TDBDispatcherProc event);
  // Nothing for an unknown name; a channel no longer used makes the connection StopListen.
  void UnregisterDispatcher(const std::string& name);
  TDBDispatcher* Find(const std::string& name) const;
  // Delivers the received notifications: per channel only the newest one reaches the
  // dispatchers of that channel.
  void Process();

  TmncSQLConnection* DB() const { return FDB; }
  TDBChannels& Channels() { return FChannels; }

 private:
  TDBChannels FChannels;
  TmncSQLConnection* FDB;
};

}  // namespace qm
