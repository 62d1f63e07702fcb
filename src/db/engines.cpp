#include "db/engines.h"

#include "support/text_utils.h"

namespace qm {
namespace {

std::string QuotedValue(const std::string& value) {
  std::string result = "\"";
  for (char c : value) {
    if (c == '"')
      result += '"';
    result += c;
  }
  return result + "\"";
}

// A value without its enclosing quotes, doubled quotes inside made single again.
std::string UnquotedValue(const std::string& value) {
  if (value.size() < 2 || (value.front() != '"' && value.front() != '\'') ||
      value.back() != value.front())
    return value;
  const char quote = value.front();
  std::string result;
  for (std::size_t i = 1; i + 1 < value.size(); ++i) {
    result += value[i];
    if (value[i] == quote && i + 2 < value.size() && value[i + 1] == quote)
      ++i;
  }
  return result;
}

}  // namespace

TmncEngines& TmncEngines::Instance() {
  // Never destroyed: drivers register during static start-up, in any order, and connections
  // may be made while other static objects go away at exit.
  union NoDestructor {
    NoDestructor() : engines() {}
    ~NoDestructor() {}
    TmncEngines engines;
  };
  static NoDestructor holder;
  return holder.engines;
}

int TmncEngines::IndexOfLocked(const std::string& name) const {
  for (std::size_t i = 0; i < FEngines.size(); ++i) {
    if (SameText(FEngines[i].Name, name))
      return static_cast<int>(i);
  }
  return -1;
}

int TmncEngines::IndexOf(const std::string& name) const {
  TLockGuard lock(FLock);
  return IndexOfLocked(name);
}

TmncEngine& TmncEngines::EngineLocked(const std::string& name) {
  const int index = IndexOfLocked(name);
  if (index >= 0)
    return FEngines[static_cast<std::size_t>(index)];
  FEngines.push_back(TmncEngine{name, std::string(), nullptr, std::string(), nullptr});
  return FEngines.back();
}

void TmncEngines::RegisterConnection(const std::string& name, const std::string& title,
                                     TmncConnectionFactory factory) {
  TLockGuard lock(FLock);
  TmncEngine& engine = EngineLocked(name);
  if (engine.ConnectionClass)
    throw Exception(name + " is already registered");
  engine.ConnectionClass = std::move(factory);
  engine.Title = title;
}

std::unique_ptr<TmncEngine> TmncEngines::Find(const std::string& name) const {
  TLockGuard lock(FLock);
  const int index = IndexOfLocked(name);
  if (index < 0)
    return nullptr;
  return std::make_unique<TmncEngine>(FEngines[static_cast<std::size_t>(index)]);
}

std::unique_ptr<TmncSQLConnection> TmncEngines::CreateConnection(const std::string& name) const {
  TmncConnectionFactory factory;
  {
    TLockGuard lock(FLock);
    const int index = IndexOfLocked(name);
    if (index >= 0)
      factory = FEngines[static_cast<std::size_t>(index)].ConnectionClass;
  }
  if (!factory)
    throw EmncException("Engine " + name + " not found");
  return factory();
}

TStrings TmncEngines::EnumConnections() const {
  TLockGuard lock(FLock);
  TStrings titles;
  for (const TmncEngine& engine : FEngines) {
    if (engine.ConnectionClass)
      titles.push_back(engine.Title);
  }
  return titles;
}

void TmncEngines::RegisterSession(const std::string& name, const std::string& driver,
                                  TmncSessionFactory factory) {
  TLockGuard lock(FLock);
  for (const TmncEngine& engine : FEngines) {
    if (engine.SessionClass && engine.SessionDriver == driver)
      throw Exception(driver + " is already registered");
  }
  TmncEngine& engine = EngineLocked(name);
  if (engine.SessionClass)
    throw Exception(name + " is already registered");
  engine.SessionDriver = driver;
  engine.SessionClass = std::move(factory);
}

std::unique_ptr<TmncSQLConnection> TmncEngines::CreateSessionConnection(
    const std::string& driver, const TmncSessionSettings& settings) const {
  TmncSessionFactory factory;
  {
    TLockGuard lock(FLock);
    for (const TmncEngine& engine : FEngines) {
      if (engine.SessionClass && engine.SessionDriver == driver) {
        factory = engine.SessionClass;
        break;
      }
    }
  }
  if (!factory)
    return nullptr;
  return factory(settings);
}

TStrings TmncEngines::SessionDrivers() const {
  TLockGuard lock(FLock);
  TStrings drivers;
  for (const TmncEngine& engine : FEngines) {
    if (engine.SessionClass)
      drivers.push_back(engine.SessionDriver);
  }
  return drivers;
}

void SetSessionServer(TmncConnection& connection, const TmncSessionSettings& settings,
                      const std::string& host_setting) {
  connection.SetResource(settings.Resource);
  connection.SetHost(FirstNonEmpty({settings.ServerSetting(host_setting), "127.0.0.1"}));
  connection.SetPort(settings.Port);
  connection.SetUserName(settings.UserName);
  connection.SetPassword(settings.Password);
}

std::string ComposeConnectionString(const std::string& engine, const std::string& resource,
                                    const std::string& host, const std::string& port,
                                    const std::string& user, const std::string& password,
                                    const std::string& role) {
  return "Resource=" + QuotedValue(resource) + ",Engine=" + QuotedValue(engine) +
         ",Host=" + QuotedValue(host) + ",Port=" + QuotedValue(port) +
         ",User=" + QuotedValue(user) + ",Password=" + QuotedValue(password) +
         ",Role=" + QuotedValue(role);
}

std::string ComposeConnectionString(const TmncConnection& connection) {
  return ComposeConnectionString(connection.EngineName(), connection.Resource(), connection.Host(),
                                 connection.Port(), connection.UserName(), connection.Password(),
                                 connection.Role());
}

TmncConnectionParts DecomposeConnectionString(const std::string& composed) {
  TmncConnectionParts parts;
  TStrings items;
  try {
    StrToStrings(composed, items, ",", " \t\r\n", "\"'");
  } catch (const std::exception&) {
    return parts;
  }
  for (const std::string& item : items) {
    const std::size_t eq = item.find('=');
    if (eq == std::string::npos)
      continue;
    const std::string key = Trim(item.substr(0, eq));
    const std::string value = UnquotedValue(Trim(item.substr(eq + 1)));
    struct Slot {
      const char* key;
      std::string* out;
    } slots[] = {{"Resource", &parts.Resource}, {"Engine", &parts.Engine},
                 {"Host", &parts.Host},         {"Port", &parts.Port},
                 {"User", &parts.User},         {"Password", &parts.Password},
                 {"Role", &parts.Role}};
    for (const Slot& slot : slots) {
      if (SameText(key, slot.key) && slot.out->empty())
        *slot.out = value;
    }
  }
  return parts;
}

}  // namespace qm
