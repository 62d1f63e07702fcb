#include "support/pool.h"

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <new>

#include <nlohmann/json.hpp>

#include "support/log.h"
#include "support/number_text.h"
#include "support/text_utils.h"

namespace qm {

// ---------------------------------------------------------------------------------------------
// TprmSettings

TprmSetting* TprmSettings::Find(std::string_view name) {
  for (auto& item : FItems) {
    if (SameText(item->Name(), name))
      return item.get();
  }
  return nullptr;
}

const TprmSetting* TprmSettings::Find(std::string_view name) const {
  for (const auto& item : FItems) {
    if (SameText(item->Name(), name))
      return item.get();
  }
  return nullptr;
}

TprmSetting& TprmSettings::Force(std::string_view name) {
  if (TprmSetting* found = Find(name))
    return *found;
  FItems.push_back(std::make_unique<TprmSetting>(std::string(name)));
  return *FItems.back();
}

std::int64_t TprmSettings::AsInt64(std::string_view name) {
  return StrToInt64Def(GetData(name), 0);
}

std::int32_t TprmSettings::AsInteger(std::string_view name) {
  return StrToIntDef(GetData(name), 0);
}

std::string TprmSettings::AsJson() const {
  if (FItems.empty())
    return {};
  nlohmann::ordered_json json = nlohmann::ordered_json::object();
  for (const auto& item : FItems) {
    if (!item->Data().empty())
      json[item->Name()] = item->Data();
  }
  // Values are arbitrary bytes: invalid UTF-8 is replaced rather than raised.
  return json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

void TprmSettings::SetAsJson(std::string_view json) {
  Clear();
  const auto parsed = nlohmann::ordered_json::parse(json, nullptr, /*allow_exceptions=*/false);
  if (!parsed.is_object())
    return;
  for (const auto& [key, value] : parsed.items()) {
    GetData(key) = value.is_string() ? value.get<std::string>() : value.dump();
  }
}

// ---------------------------------------------------------------------------------------------
// TPoolObject

TPoolObject::TPoolObject(std::string name) : FName(std::move(name)) {}

TPoolObject::TPoolObject(std::string name, std::initializer_list<std::string_view> keys,
                         std::initializer_list<FormatArg> values)
    : FName(std::move(name)) {
  auto value = values.begin();
  for (auto key = keys.begin(); key != keys.end() && value != values.end(); ++key, ++value)
    FSettings.GetData(*key) = value->AsText();
}

std::string PoolObjectClassName(const TPoolObject& job) {
  const char* mangled = typeid(job).name();
  int status = 0;
  std::unique_ptr<char, decltype(&std::free)> demangled(
      abi::__cxa_demangle(mangled, nullptr, nullptr, &status), &std::free);
  std::string name = (status == 0 && demangled) ? demangled.get() : mangled;
  const std::size_t scope = name.rfind("::");
  if (scope != std::string::npos)
    name.erase(0, scope + 2);
  return name;
}

// ---------------------------------------------------------------------------------------------
// TpoolServices

namespace {

// Set while this thread reports a job's failure: the report job it posts is marked, and a
// failing report is not reported again. Without this, a log folder that cannot be written
// would make every failed log job post another failing one, forever.
thread_local bool tl_reporting_failure = false;

void ReportFailure(const TPoolObject& job, bool job_is_report, const char* message) {
  if (job_is_report) {
    std::fprintf(stderr, "Error Pool Object [%s]: %s\n", PoolObjectClassName(job).c_str(), message);
    return;
  }
  tl_reporting_failure = true;
  try {
    WriteLogFmt("Error Pool Object [%s]: %s", {PoolObjectClassName(job), message});
  } catch (...) {
    // Nothing more can be done for a report that cannot even be posted.
  }
  tl_reporting_failure = false;
}

}  // namespace

void TpoolServices::RunJob(TPoolObject& job) {
  try {
    job.DoWork();
  } catch (const std::exception& e) {
    ReportFailure(job, job.FErrorReport, e.what());
  } catch (...) {
    ReportFailure(job, job.FErrorReport, "unknown exception");
  }
}

TpoolServices::~TpoolServices() {
  Shutdown();
}

TpoolServices& TpoolServices::Instance() {
  // Never destroyed: jobs posted from static destructors at exit still find a working pool
  // (they run inline once the pool has shut down). The thread is drained and joined at exit.
  alignas(TpoolServices) static unsigned char storage[sizeof(TpoolServices)];
  static TpoolServices* const instance = [] {
    auto* pool = ::new (static_cast<void*>(storage)) TpoolServices();
    std::atexit([] { Instance().Shutdown(); });
    return pool;
  }();
  return *instance;
}

void TpoolServices::Add(std::unique_ptr<TPoolObject> job) {
  if (!job)
    return;
  job->FErrorReport = tl_reporting_failure;
  {
    TLockGuard lock(FLock);
    if (!FShutdown) {
      if (!FStarted) {
        FStarted = true;
        FThread = std::thread([this] { Run(); });
        FThreadId = FThread.get_id();
      }
      FPoolList.push_back(std::move(job));
      FEvent.notify_one();
      return;
    }
  }
  // Shut down: run here, serialised with other late jobs.
  TLockGuard inline_lock(FInlineLock);
  if (!job->FSkip)
    RunJob(*job);
}

bool TpoolServices::FindName(const std::type_info& cls, std::string_view name) {
  TLockGuard lock(FLock);
  for (const auto& job : FPoolList) {
    const TPoolObject& queued = *job;
    if (typeid(queued) == cls && queued.Name() == name)
      return true;
  }
  return false;
}

void TpoolServices::SkipClass(const std::type_info& cls) {
  TUniqueLock lock(FLock);
  for (auto& job : FPoolList) {
    TPoolObject& queued = *job;
    if (typeid(queued) == cls)
      queued.FSkip = true;
  }
  if (FCurrent != nullptr && typeid(*FCurrent) == cls)
    FCurrent->Terminate();
  if (std::this_thread::get_id() == FThreadId)
    return;
  while (FBusy)
    FIdleEvent.wait(lock.Standard());
}

void TpoolServices::WaitIdle() {
  TUniqueLock lock(FLock);
  if (std::this_thread::get_id() == FThreadId)
    return;
  while (!Idle())
    FIdleEvent.wait(lock.Standard());
}

bool TpoolServices::WaitIdle(std::chrono::milliseconds timeout) {
  TUniqueLock lock(FLock);
  if (std::this_thread::get_id() == FThreadId)
    return false;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!Idle()) {
    if (FIdleEvent.wait_until(lock.Standard(), deadline) == std::cv_status::timeout)
      return Idle();
  }
  return true;
}

bool TpoolServices::IsPoolThread() const {
  TLockGuard lock(FLock);
  return std::this_thread::get_id() == FThreadId;
}

void TpoolServices::Shutdown() {
  TUniqueLock lock(FLock);
  if (FShutdown)
    return;
  if (!FStarted) {
    FShutdown = true;
    return;
  }
  FStopping = true;
  FEvent.notify_all();
  if (std::this_thread::get_id() == FThreadId) {
    // Exit was called from a job: the loop will not come back, so drain here.
    while (!FPoolList.empty()) {
      std::unique_ptr<TPoolObject> job = std::move(FPoolList.front());
      FPoolList.pop_front();
      lock.Unlock();
      if (!job->FSkip)
        RunJob(*job);
      job.reset();
      lock.Lock();
    }
    FShutdown = true;
    FThread.detach();
    return;
  }
  lock.Unlock();
  if (FThread.joinable())
    FThread.join();
}

void TpoolServices::Run() {
  TUniqueLock lock(FLock);
  for (;;) {
    while (FPoolList.empty() && !FStopping)
      FEvent.wait(lock.Standard());
    if (FPoolList.empty())
      break;  // stopping, and everything queued has run
    std::unique_ptr<TPoolObject> job = std::move(FPoolList.front());
    FPoolList.pop_front();
    FCurrent = job.get();
    FBusy = true;
    const bool skip = job->FSkip;
    lock.Unlock();
    if (!skip)
      RunJob(*job);
    lock.Lock();
    FCurrent = nullptr;  // no Terminate on a job that is being freed
    lock.Unlock();
    // Freed outside the lock: a destructor may post jobs itself.
    job.reset();
    lock.Lock();
    FBusy = false;
    FIdleEvent.notify_all();
  }
  FShutdown = true;
  FIdleEvent.notify_all();
}

}  // namespace qm
