#include "transport/server.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <system_error>

#include "support/date_time.h"
#include "support/log.h"
#include "support/memory_return.h"
#include "support/metrics.h"
#include "transport/descriptor_reserve.h"
#include "transport/tls.h"

namespace qm {

namespace {

// Process-wide connection numbers: unique across all listeners.
std::atomic<std::uint32_t> gConnectionCounter{0};

// How often (at least) the listener looks for opening connections past their deadline (ms).
constexpr int kOpeningCheckMs = 250;

constexpr std::string_view kBusy = "Server busy: too many connections";
constexpr std::string_view kOutOfDescriptors = "Server busy: out of descriptors";

}  // namespace

// ---- TmnThread ----

TmnThread::~TmnThread() {
  if (FJoinable) {
    FJoinable = false;
    if (pthread_equal(FHandle, pthread_self()))
      pthread_detach(FHandle);
    else
      pthread_join(FHandle, nullptr);
  }
}

void* TmnThread::Run(void* Self) {
  auto* thread = static_cast<TmnThread*>(Self);
  try {
    thread->Execute();
  } catch (...) {
    // An exception leaving the work method ends the thread, never the process.
  }
  thread->FFinished = true;
  return nullptr;
}

void TmnThread::Start() {
  if (FJoinable)
    return;
  // A thread of its own rather than std::thread: connection threads ask for a smaller stack
  // than the system's 8 MiB, and std::thread cannot.
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  if (FStackSize != 0)
    pthread_attr_setstacksize(&attributes, FStackSize);
  const int error = pthread_create(&FHandle, &attributes, &TmnThread::Run, this);
  pthread_attr_destroy(&attributes);
  if (error != 0)
    throw std::system_error(error, std::generic_category(), "Thread not started");
  FJoinable = true;
}

void TmnThread::WaitFor() {
  if (FJoinable && !pthread_equal(FHandle, pthread_self())) {
    FJoinable = false;
    pthread_join(FHandle, nullptr);
  }
}

// ---- TmnConnections ----

int TmnConnections::Count() {
  TLockGuard lock(FLock);
  return static_cast<int>(FList.size());
}

std::string TmnConnections::Port() {
  TLockGuard lock(FLock);
  return FPort;
}

void TmnConnections::SetPort(const std::string& Value) {
  TLockGuard lock(FLock);
  FPort = Value;
}

void TmnConnections::Add(TmnConnection* Connection) {
  TLockGuard lock(FLock);
  FList.push_back(Connection);
}

void TmnConnections::Remove(TmnConnection* Connection) {
  TLockGuard lock(FLock);
  FList.erase(std::remove(FList.begin(), FList.end(), Connection), FList.end());
}

// ---- TmnConnection ----

void TmnConnection::Execute() {
  FID = ++gConnectionCounter;
  if (FOwner != nullptr)
    FOwner->Add(this);
  try {
    Prepare();
    while (!Terminated() && Connected()) {
      try {
        Process();
      } catch (const Exception& e) {
        HandleException(e);
      }
    }
  } catch (...) {
    // Anything but the system's own exceptions ends the connection.
  }
  try {
    Unprepare();
  } catch (...) {
  }
  if (FOwner != nullptr)
    FOwner->Remove(this);
  Finish();
}

// ---- TmnServerConnection ----

TmnServerConnection::TmnServerConnection(TmnConnections* Owner,
                                         std::unique_ptr<TmnConnectionStream> Stream)
    : TmnConnection(Owner), FStream(std::move(Stream)) {
  SetStackSize(kStackSize);
}

TmnServerConnection::~TmnServerConnection() {
  Terminate();
  WaitFor();
}

bool TmnServerConnection::Connected() {
  return FStream && FStream->Connected();
}

void TmnServerConnection::Disconnect() {
  if (FStream)
    FStream->Disconnect();
}

std::unique_ptr<TmnConnectionStream> TmnServerConnection::Detach() {
  std::lock_guard<std::mutex> lock(FStreamLock);
  return std::move(FStream);
}

void TmnServerConnection::Terminate() {
  TmnConnection::Terminate();
  std::lock_guard<std::mutex> lock(FStreamLock);
  if (FStream)
    FStream->Abort();
}

TmnListener* TmnServerConnection::Listener() const {
  return dynamic_cast<TmnListener*>(FOwner);
}

void TmnServerConnection::Prepare() {
  if (FStream)
    FStream->Prepare();
}

bool TmnServerConnection::LeaveOpening() {
  if (!FOpening.exchange(false))
    return false;
  if (TmnListener* listener = Listener())
    listener->OpeningEnded(FRemoteIP);
  return true;
}

void TmnServerConnection::Finish() {
  LeaveOpening();
  // The connection is done: its stream is disconnected and freed at once; the thread object
  // itself is freed by its listener.
  std::unique_ptr<TmnConnectionStream> stream = Detach();
  if (stream)
    stream->Disconnect();
  ++TServerMetrics::Instance().ConnectionsClosed;
}

// ---- TmnListener ----

TmnListener::TmnListener() : FGuard(std::make_shared<TMainQueueGuard>()) {}

TmnListener::~TmnListener() {
  Terminate();
  WaitFor();
  FGuard->Revoke();
}

void TmnListener::QueueToMain(std::function<void()> Call) {
  TMainQueue::Instance().Queue(std::move(Call), FGuard);
}

void TmnListener::Terminate() {
  TmnConnections::Terminate();
  {
    TLockGuard lock(FLock);
    if (FSocket)
      FSocket->Abort();
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void TmnListener::Add(TmnConnection* Connection) {
  {
    // From starting to listed in one step under the list's lock: Occupied never counts the
    // connection twice (which refused a client of a server that was not full).
    TLockGuard lock(FLock);
    FList.push_back(Connection);
    --FStarting;
  }
  DoChanged();
}

int TmnListener::Occupied() {
  TLockGuard lock(FLock);
  return static_cast<int>(FList.size()) + FStarting;
}

void TmnListener::Remove(TmnConnection* Connection) {
  TmnConnections::Remove(Connection);
  DoChanged();
}

void TmnListener::Signal() {
  {
    TLockGuard lock(FEventLock);
    FSignalled = true;
  }
  FEvent.notify_all();
}

bool TmnListener::WaitForStart() {
  TUniqueLock lock(FEventLock);
  while (!FSignalled)
    FEvent.wait(lock.Standard());
  return FListening;
}

void TmnListener::CloseSocket() {
  TLockGuard lock(FLock);
  FListening = false;
  if (FSocket) {
    FSocket->Close();
    FSocket.reset();
  }
}

void TmnListener::Execute() {
  std::exception_ptr failure;
  try {
    if (!Terminated()) {
      std::string port = Port();
      int error = 0;
      std::unique_ptr<TmnCustomSocket> socket;
      WallSocket().Bind(FOptions, FTimeout, port, FAddress, socket, error);
      if (!socket || !socket->Active())
        throw EmnStreamException("Bind fail [" + std::to_string(error) + "] on port " + port +
                                 " address " + FAddress);
      SetPort(port);
      {
        TLockGuard lock(FLock);
        FSocket = std::move(socket);
      }
      FSocket->Prepare();
      // A Terminate that came before the socket was kept found nothing to abort.
      FListening = FSocket->Listen() == erSuccess && FSocket->Active() && !Terminated();
    }
    if (FListening) {
      DoChanged();
      DoStarted();
      Log("Server " + (FServer ? FServer->Name() : std::string()) + " started at port: " + Port() +
          (FOptions.Contains(soSSL) ? " Secured" : ""));
    }
    Signal();
    TDescriptorReserve reserve;
    while (FListening && !Terminated()) {
      // Short waits: opening connections past their deadline are closed between two of them.
      const TmnError wait = FSocket->Select(std::min(FTimeout, kOpeningCheckMs), slRead);
      if (Terminated() || !FSocket->Active())
        break;
      std::unique_ptr<TmnCustomSocket> accepted;
      if (wait == erSuccess) {
        int accept_error = 0;
        try {
          errno = 0;
          accepted = FSocket->Accept(FOptions, FTimeout);
          accept_error = errno;
          if (accepted) {
            accepted->SetSendTimeout(FSendTimeout);
            CheckCertificate();
            accepted->SetContext(Context);
          }
        } catch (...) {
        }
        // A listening socket that can no longer accept at all (shut down, closed under us)
        // ends the listener; the server then learns it was lost.
        if (!accepted && (accept_error == EBADF || accept_error == EINVAL ||
                          accept_error == ENOTSOCK || accept_error == EOPNOTSUPP))
          throw EmnStreamException("Accept failed [" + std::to_string(accept_error) + "]");
        // Out of descriptors, or nearly: the client is told so at once rather than left in the
        // backlog for ever.
        if (accepted && reserve.Crowded(accepted->Handle())) {
          TDescriptorReserve::Tell(accepted->Handle(), kOutOfDescriptors);
          accepted.reset();
          Log("Connection refused: out of descriptors");
        } else if (!accepted && (accept_error == EMFILE || accept_error == ENFILE) &&
                   reserve.RefuseOne(FSocket->Handle(), kOutOfDescriptors))
          Log("Connection refused: out of descriptors");
        // Readable but nothing to accept: do not spin on it.
        else if (!accepted)
          std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      if (!Terminated()) {
        if (FServer != nullptr)
          FServer->CheckIdle();
        ReapFinished();
        CloseLateOpenings();
        if (accepted)
          StartConnection(std::move(accepted));
      }
      ReapFinished();
      std::this_thread::yield();
    }
  } catch (const Exception& e) {
    Log(e.Message());
    failure = std::current_exception();
  } catch (const std::exception& e) {
    Log(e.what());
    failure = std::current_exception();
  } catch (...) {
    failure = std::current_exception();
  }
  const bool lost = !Terminated();
  DropConnections();
  CloseSocket();
  FreeContext();
  DoChanged();
  Signal();
  // Ended by anything but a stop: whoever runs the server must know, since nothing listens.
  if (lost && FServer != nullptr)
    FServer->DoListenerLost();
  if (failure)
    std::rethrow_exception(failure);
}

void TmnListener::StartConnection(std::unique_ptr<TmnCustomSocket> Socket) {
  const std::string address = Socket->GetRemoteAddress();
  const std::uint64_t now = TickCount64();
  // An address that keeps sending wrong passwords is answered at once, with no thread and no
  // slot spent on it.
  if (FAddressGuard.Blocked(address, now)) {
    ++TServerMetrics::Instance().RefusedPassword;
    Refuse(*Socket, "Invalid Headers");
    LogAbout(address, address + ": refused, blocked after wrong passwords for " +
                          std::to_string((FAddressGuard.BlockedFor(address, now) + 999) / 1000) +
                          " s more");
    return;
  }
  bool address_full = false;
  {
    TLockGuard lock(FOpeningLock);
    const auto it = FOpeningByAddress.find(address);
    address_full = FMaxOpeningPerAddress > 0 && it != FOpeningByAddress.end() &&
                   it->second >= FMaxOpeningPerAddress;
  }
  if (address_full) {
    ++TServerMetrics::Instance().RefusedBusy;
    Refuse(*Socket, kBusy);
    LogAbout(address, "Connection refused: " + std::to_string(FMaxOpeningPerAddress) +
                          " connections from " + address + " still opening");
    return;
  }
  const int max_connections = FMaxConnections;
  if (max_connections > 0 && Occupied() >= max_connections) {
    ++TServerMetrics::Instance().RefusedBusy;
    // Full: say so in the reply a client reads first, then close.
    Refuse(*Socket, kBusy);
    Log("Connection refused: " + std::to_string(max_connections) + " connections already");
    return;
  }
  if (FMaxOpening > 0) {
    int opening = 0;
    {
      TLockGuard lock(FOpeningLock);
      opening = FOpeningCount;
    }
    // The oldest has had the most time: a client that means to talk has long spoken.
    if (opening >= FMaxOpening)
      CloseOldestOpening();
  }
  // Whatever goes wrong while one connection is set up (no thread, no memory) costs that
  // connection only: the listener goes on.
  TmnServerConnection* connection = nullptr;
  try {
    connection = AcceptSocket(std::move(Socket));
    if (connection != nullptr) {
      {
        TLockGuard lock(FOpeningLock);
        ++FOpeningByAddress[connection->RemoteIP()];
        ++FOpeningCount;
      }
      connection->FStartTick = now;
      connection->FOpening = true;
      ++FStarting;
      // Counted before the thread can end (and count itself closed).
      ++TServerMetrics::Instance().ConnectionsAccepted;
      try {
        connection->Start();
      } catch (...) {
        ++TServerMetrics::Instance().ConnectionsClosed;
        --FStarting;
        throw;
      }
    }
  } catch (const std::exception& e) {
    Log(std::string("Connection not started: ") + e.what());
    DiscardConnection(connection);
  } catch (...) {
    Log("Connection not started");
    DiscardConnection(connection);
  }
}

void TmnListener::Refuse(TmnCustomSocket& Socket, std::string_view Text) {
  std::int64_t count = static_cast<std::int64_t>(Text.size());
  Socket.LimitSend(1000);
  Socket.Send(Text.data(), count);
  Socket.Close();
}

void TmnListener::OpeningEnded(const std::string& Address) {
  TLockGuard lock(FOpeningLock);
  --FOpeningCount;
  const auto it = FOpeningByAddress.find(Address);
  if (it != FOpeningByAddress.end() && --it->second <= 0)
    FOpeningByAddress.erase(it);
}

void TmnListener::CloseLateOpenings() {
  const std::uint64_t now = TickCount64();
  // Not at every accept of a flood: a look every check interval is precise enough.
  if (FOpeningTimeout <= 0 || now - FLastOpeningCheck < static_cast<std::uint64_t>(kOpeningCheckMs))
    return;
  FLastOpeningCheck = now;
  for (auto& connection : FConnections) {
    if (!connection->Opening() || connection->Finished() ||
        now - connection->FStartTick < static_cast<std::uint64_t>(FOpeningTimeout) ||
        !connection->LeaveOpening())
      continue;
    const std::string address = connection->RemoteIP();
    connection->Terminate();  // wakes its read: the thread ends and closes the socket
    LogAbout(address, "Connection from " + address + " closed: not opened within " +
                          std::to_string(FOpeningTimeout / 1000) + " s");
  }
}

void TmnListener::CloseOldestOpening() {
  // FConnections is in the order of acceptance.
  for (auto& connection : FConnections) {
    if (connection->Finished() || !connection->LeaveOpening())
      continue;
    const std::string address = connection->RemoteIP();
    connection->Terminate();
    LogAbout(address, "Connection from " + address + " closed: " + std::to_string(FMaxOpening) +
                          " connections opening, it was the oldest");
    return;
  }
}

void TmnListener::LogAbout(const std::string& Address, const std::string& Text) {
  int skipped = 0;
  if (!FAddressGuard.TakeLogTurn(Address, TickCount64(), skipped))
    return;
  Log(skipped == 0 ? Text
                   : Text + " (" + std::to_string(skipped) + " more about " + Address +
                         " not logged in the last minute)");
}

void TmnListener::DiscardConnection(TmnServerConnection* Connection) {
  if (Connection == nullptr)
    return;
  Connection->LeaveOpening();
  auto it = std::find_if(FConnections.begin(), FConnections.end(),
                         [Connection](const auto& c) { return c.get() == Connection; });
  if (it != FConnections.end())
    FConnections.erase(it);  // never started: freeing it closes its socket
}

TmnServerConnection* TmnListener::AcceptSocket(std::unique_ptr<TmnCustomSocket> Socket) {
  if (!Socket)
    throw EmnStreamException("socket is null");
  try {
    const std::string remote_ip = Socket->GetRemoteAddress();
    const bool secure = Socket->Options().Contains(soSSL);
    std::unique_ptr<TmnServerConnection> connection =
        DoCreateConnection(DoCreateStream(std::move(Socket)));
    if (!connection)
      return nullptr;
    connection->SetRemoteIP(remote_ip);
    connection->SetIsSecure(secure);
    FConnections.push_back(std::move(connection));
    return FConnections.back().get();
  } catch (const std::exception& e) {
    Log(e.what());
    return nullptr;
  }
}

std::unique_ptr<TmnConnectionStream> TmnListener::DoCreateStream(
    std::unique_ptr<TmnCustomSocket> Socket) {
  auto stream = std::make_unique<TmnSocketStream>(std::move(Socket));
  TmnsoOptions options = FOptions;
  if (FServer != nullptr && FServer->IsSecure())
    options.Include(soSSL);
  stream->SetOptions(options);
  return stream;
}

std::unique_ptr<TmnServerConnection> TmnListener::DoCreateConnection(
    std::unique_ptr<TmnConnectionStream> Stream) {
  return std::make_unique<TmnServerConnection>(this, std::move(Stream));
}

void TmnListener::ReapFinished() {
  // What connections freed goes back to the system as they are reaped, or (at most once a
  // second) on a later round.
  ReturnFreedMemoryIfDue();
  std::vector<std::unique_ptr<TmnServerConnection>> finished;
  for (auto& connection : FConnections)
    if (connection->Finished())
      finished.push_back(std::move(connection));
  if (finished.empty())
    return;
  FConnections.erase(std::remove(FConnections.begin(), FConnections.end(), nullptr),
                     FConnections.end());
  finished.clear();  // joins each (already ended) thread and frees it
  NoteMemoryFreed();
  ReturnFreedMemoryIfDue();
}

void TmnListener::DropConnections() {
  std::vector<std::unique_ptr<TmnServerConnection>> all = std::move(FConnections);
  FConnections.clear();
  {
    TLockGuard lock(FLock);
    FList.clear();
  }
  // Ask all first, then wait: each wait is then short. No lock is held while waiting.
  for (auto& connection : all)
    connection->Terminate();
  for (auto& connection : all)
    connection->WaitFor();
  all.clear();
}

void TmnListener::Log(const std::string& Text) {
  {
    TLockGuard lock(FLogLock);
    FLogMessages.push_back(Text);
  }
  QueueToMain([this] { DeliverLog(); });
}

void TmnListener::DeliverLog() {
  while (true) {
    std::string line;
    {
      TLockGuard lock(FLogLock);
      if (FLogMessages.empty())
        return;
      line = std::move(FLogMessages.front());
      FLogMessages.pop_front();
    }
    if (FServer != nullptr)
      FServer->DoLog(line);
  }
}

void TmnListener::DoChanged() {
  QueueToMain([this] {
    if (FServer != nullptr)
      FServer->DoChanged(this);
  });
}

void TmnListener::DoStarted() {
  QueueToMain([this] {
    if (FServer != nullptr)
      FServer->DoStarted(this);
  });
}

// ---- TmnServer ----

TmnServer::TmnServer() = default;

TmnServer::~TmnServer() {
  FIsDestroying = true;
  Stop();
}

void TmnServer::Start(bool WaitToStart) {
  if (!FPrepared) {
    DoInit();
    FPrepared = true;
  }
  if (FListener)
    return;
  DoBeforeOpen();
  DoBeforeStart();
  if (FIsSecure) {
    // Refused before anything else: the text after "system:" is no file to look for.
    if (IsSystemStoreCertificate(CertificateFile))
      throw EmnOpenSSLException(SystemStoreRefusal(CertificateFile));
    std::error_code ec;
    const std::string certificate = CertificateFilePath(CertificateFile);
    if (!certificate.empty() && !std::filesystem::exists(certificate, ec)) {
      Log("CertificateFile not exists:" + CertificateFile);
      return;
    }
    if (!PrivateKeyFile.empty() && !std::filesystem::exists(PrivateKeyFile, ec)) {
      Log("PrivateKeyFile not exists:" + PrivateKeyFile);
      return;
    }
  }
  try {
    FListener = CreateListener();
    FListener->SetServer(this);
    FListener->SetPort(FPort);
    FListener->SetAddress(FBind);
    TmnsoOptions options = FListener->Options();
    if (FReuseAddress)
      options.Include(soReuseAddr);
    if (FIsSecure)
      options.Include(soWaitBeforeRead).Include(soSSL);
    FListener->SetOptions(options);
    FListener->SetMaxConnections(FMaxConnections);
    FListener->SetMaxOpening(FMaxOpening);
    FListener->SetMaxOpeningPerAddress(FMaxOpeningPerAddress);
    FListener->SetOpeningTimeout(FOpeningTimeout);
    if (FSendTimeout)
      FListener->SetSendTimeout(*FSendTimeout);
    FListener->CertPassword = CertPassword;
    FListener->CertificateFile = CertificateFile;
    FListener->PrivateKeyFile = PrivateKeyFile;
    FListener->CertificateCheckInterval = CertificateCheckInterval;
    FListener->PrepareContext();
    DoStart();
    FListener->Start();
    if (WaitToStart)
      FListener->WaitForStart();
  } catch (...) {
    FListener.reset();
    throw;
  }
  FActive = true;
  DoAfterOpen();
}

void TmnServer::Stop() {
  if (FListener && !FIsStopping) {
    FIsStopping = true;
    DoBeforeClose();
    DoStop();
    FListener->Terminate();
    FListener->WaitFor();
    const std::string port = FListener->Port();
    // The calls the listener queued refer to it: they run (or are dropped) before it goes.
    TMainQueue::Instance().RunPending();
    FListener.reset();
    FActive = false;
    DoAfterClose();
    FIsStopping = false;
    Log("Server stopped at port: " + port);
  }
  DoStopped();
}

void TmnServer::Restart() {
  Stop();
  Start(false);
}

void TmnServer::Disconnect() {
  if (FListener)
    FListener->Terminate();
}

void TmnServer::Wait() {
  if (FListener)
    FListener->WaitFor();
}

void TmnServer::Log(const std::string& Text) {
  DoLog(Text);
}

bool TmnServer::Log(bool Check, const std::string& Text) {
  if (Check)
    Log(Text);
  return Check;
}

void TmnServer::DoListenerLost() {
  Log("Listener ended without a stop: nothing listens on port " + UsedPort());
}

void TmnServer::CheckIdle() {
  const std::uint64_t now = TickCount64();
  if (FListener && now - FIdleTick > static_cast<std::uint64_t>(FIdleInterval)) {
    FIdleTick = now;
    FListener->QueueToMain([this] { DoIdle(); });
  }
}

int TmnServer::Count() const {
  return FListener ? FListener->Count() : 0;
}

bool TmnServer::Connected() const {
  return FListener && FListener->Connected();
}

void TmnServer::SetActive(bool Value) {
  if (Value)
    Start(false);
  else
    Stop();
}

void TmnServer::SetPort(const std::string& Value) {
  if (FActive)
    throw EmnException("Can not change Port value when active");
  FPort = Value;
}

std::string TmnServer::UsedPort() const {
  return FListener ? FListener->Port() : FPort;
}

void TmnServer::SetBind(const std::string& Value) {
  if (FActive)
    throw EmnException("Can not change Address value when active");
  FBind = Value;
}

void TmnServer::SetName(const std::string& Value) {
  if (Value == FName)
    return;
  if (FActive)
    throw EmnException("Server is active you cannot change the name");
  FName = Value;
}

std::unique_ptr<TmnListener> TmnServer::CreateListener() {
  return std::make_unique<TmnListener>();
}

// ---- TmnEventServer ----

void TmnEventServer::DoBeforeOpen() {
  TmnServer::DoBeforeOpen();
  if (OnBeforeOpen && !FIsDestroying)
    OnBeforeOpen(*this);
}

void TmnEventServer::DoAfterOpen() {
  TmnServer::DoAfterOpen();
  if (OnAfterOpen && !FIsDestroying)
    OnAfterOpen(*this);
}

void TmnEventServer::DoBeforeClose() {
  TmnServer::DoBeforeClose();
  if (OnBeforeClose && !FIsDestroying)
    OnBeforeClose(*this);
}

void TmnEventServer::DoAfterClose() {
  TmnServer::DoAfterClose();
  if (OnAfterClose && !FIsDestroying)
    OnAfterClose(*this);
}

void TmnEventServer::DoListenerLost() {
  TmnServer::DoListenerLost();
  if (OnListenerLost && !FIsDestroying)
    OnListenerLost(*this);
}

void TmnEventServer::DoLog(const std::string& Text) {
  TmnServer::DoLog(Text);
  if (OnLog && !FIsDestroying)
    OnLog(Text);
}

void TmnEventServer::DoChanged(TmnListener* Listener) {
  TmnServer::DoChanged(Listener);
  if (OnChanged && !FIsDestroying && Listener != nullptr)
    OnChanged(*Listener);
}

void TmnEventServer::DoStarted(TmnListener* Listener) {
  TmnServer::DoStarted(Listener);
  if (OnStarted && !FIsDestroying && Listener != nullptr)
    OnStarted(*Listener);
}

}  // namespace qm
