#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "support/exception.h"
#include "support/thread_annotations.h"
#include "transport/address_guard.h"
#include "transport/main_queue.h"
#include "transport/socket_stream.h"
#include "transport/sockets.h"

namespace qm {

// A thread object, created suspended (Start runs Execute once). Any exception leaving Execute
// ends the thread quietly. A derived class must end its thread (Terminate, WaitFor) before its
// own members go; the base destructor only joins as a last resort.
class TmnThread {
 public:
  TmnThread() = default;
  TmnThread(const TmnThread&) = delete;
  TmnThread& operator=(const TmnThread&) = delete;
  virtual ~TmnThread();

  void Start();
  // Asks the work method to end; it checks Terminated.
  virtual void Terminate() { FTerminated = true; }
  bool Terminated() const { return FTerminated; }
  // Waits for the thread to end; returns at once when it never started or is the caller.
  void WaitFor();
  // Execute has returned (the thread may still be unwinding; WaitFor joins it).
  bool Finished() const { return FFinished; }
  // Bytes of stack for the thread that Start makes; 0 (the default) takes the system's.
  void SetStackSize(std::size_t Value) { FStackSize = Value; }

 protected:
  virtual void Execute() {}

 private:
  static void* Run(void* Self);

  pthread_t FHandle{};
  bool FJoinable = false;
  std::size_t FStackSize = 0;
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFinished{false};
};

// A thread with a re-entrant lock of its own.
class TmnLockThread : public TmnThread {
 public:
  TRecursiveMutex& Lock() RETURN_CAPABILITY(FLock) { return FLock; }

 protected:
  TRecursiveMutex FLock;
};

class TmnConnection;

// The owner of a set of connection threads. FLock guards FList (live connections, not owned)
// and FPort.
class TmnConnections : public TmnLockThread {
 public:
  int Count();
  std::string Port();
  void SetPort(const std::string& Value);
  const std::string& Address() const { return FAddress; }
  void SetAddress(const std::string& Value) { FAddress = Value; }

  virtual void Add(TmnConnection* Connection);
  virtual void Remove(TmnConnection* Connection);

 protected:
  std::vector<TmnConnection*> FList GUARDED_BY(FLock);
  std::string FPort GUARDED_BY(FLock);
  std::string FAddress;
};

// One connection thread: Prepare, then Process again and again while Connected and not asked to
// terminate, then Unprepare. An Exception from Process goes to HandleException and the loop
// goes on; any other exception ends the thread.
class TmnConnection : public TmnThread {
 public:
  explicit TmnConnection(TmnConnections* Owner) : FOwner(Owner) {}

  // Unique across all listeners of the process (given when the thread starts).
  std::uint32_t ID() const { return FID; }
  TmnConnections* Owner() const { return FOwner; }
  virtual bool Connected() = 0;

 protected:
  void Execute() override;
  virtual void Prepare() {}
  virtual void Process() {}
  virtual void Unprepare() {}
  virtual void HandleException(const Exception& /*E*/) {}
  // Runs last on the thread, after the connection left its owner's list.
  virtual void Finish() {}

  std::atomic<std::uint32_t> FID{0};
  TmnConnections* FOwner;  // linked, outlives the connection
};

class TmnListener;
class TmnServer;

// A connection thread over its own stream (owned). The stream is disconnected and freed when
// the thread ends; Terminate wakes a Process blocked in a read.
class TmnServerConnection : public TmnConnection {
 public:
  // The stack of a connection thread. The deepest path measured is a SQLite statement at the
  // library's expression depth limit (1,000), about 400 KiB; the rest of a request takes under
  // 20 KiB. The system's 8 MiB would reserve 40 GiB of address space for 5,000 clients.
  static constexpr std::size_t kStackSize = 1024 * 1024;

  TmnServerConnection(TmnConnections* Owner, std::unique_ptr<TmnConnectionStream> Stream);
  ~TmnServerConnection() override;

  bool Connected() override;
  // Disconnects the stream; the connection thread's own operation.
  virtual void Disconnect();
  // Forgets the stream without freeing it.
  std::unique_ptr<TmnConnectionStream> Detach();
  // Safe from any thread: also aborts the stream so that a blocked read returns.
  void Terminate() override;

  TmnConnectionStream* Stream() const { return FStream.get(); }
  TmnListener* Listener() const;
  const std::string& RemoteIP() const { return FRemoteIP; }
  void SetRemoteIP(const std::string& Value) { FRemoteIP = Value; }
  bool IsSecure() const { return FIsSecure; }
  void SetIsSecure(bool Value) { FIsSecure = Value; }
  // A connection is opening from its start until Admit (its TLS handshake, first header line
  // and password check done): until then it counts against the listener's bounds of opening
  // connections and must be admitted within the listener's opening deadline.
  void Admit() { LeaveOpening(); }
  bool Opening() const { return FOpening; }

 protected:
  friend class TmnListener;
  void Prepare() override;
  void Finish() override;
  // Leaves the listener's count of opening connections; false when it had left it already.
  bool LeaveOpening();

  std::string FRemoteIP;
  std::unique_ptr<TmnConnectionStream> FStream;
  std::mutex FStreamLock;  // guards replacing FStream against Terminate from another thread
  bool FIsSecure = false;
  std::atomic<bool> FOpening{false};
  std::uint64_t FStartTick = 0;  // when the listener started it (ms, monotonic)
};

// The listening thread: binds, accepts, and owns the connection threads it starts. FLock (the
// list lock) guards the connection list and the listening socket; FLogLock the waiting log
// lines. Connection threads that end are freed by the listener thread; the rest when it stops.
class TmnListener : public TmnConnections {
 public:
  TmnListener();
  ~TmnListener() override;

  // Returns the new connection thread (owned by the listener, not yet started) or null.
  TmnServerConnection* AcceptSocket(std::unique_ptr<TmnCustomSocket> Socket);
  // Queues Text for the server's DoLog on the main thread (when logging is on).
  virtual void Log(const std::string& Text);
  // Also closes the listening socket so that the thread ends at once.
  void Terminate() override;
  // Under the list lock, then DoChanged.
  void Add(TmnConnection* Connection) override;
  void Remove(TmnConnection* Connection) override;
  // Blocks until the listener is listening or has ended; true when listening.
  bool WaitForStart();

  TmnServer* Server() const { return FServer; }
  void SetServer(TmnServer* Value) { FServer = Value; }
  bool Connected() const { return FListening; }
  TmnsoOptions Options() const { return FOptions; }
  void SetOptions(TmnsoOptions Value) { FOptions = Value; }
  int Timeout() const { return FTimeout; }
  void SetTimeout(int Value) { FTimeout = Value; }
  // How long a send to a client may wait for the client to read (ms; -1 without limit).
  int SendTimeout() const { return FSendTimeout; }
  void SetSendTimeout(int Value) { FSendTimeout = Value; }
  // Connections served at once; one more is told the server is busy and closed. 0: no bound.
  int MaxConnections() const { return FMaxConnections; }
  void SetMaxConnections(int Value) { FMaxConnections = Value; }
  // Opening connections (see TmnServerConnection::Admit) at once, in all and from one address
  // (0: no bound). A new one past the bound for its address is told the server is busy and
  // closed; past the bound in all, the oldest opening connection is closed to make room.
  int MaxOpening() const { return FMaxOpening; }
  void SetMaxOpening(int Value) { FMaxOpening = Value; }
  int MaxOpeningPerAddress() const { return FMaxOpeningPerAddress; }
  void SetMaxOpeningPerAddress(int Value) { FMaxOpeningPerAddress = Value; }
  // How long (ms) a connection may stay opening, however slowly its bytes come; then it is
  // closed. 0: no deadline.
  int OpeningTimeout() const { return FOpeningTimeout; }
  void SetOpeningTimeout(int Value) { FOpeningTimeout = Value; }
  // Wrong passwords per client address; a blocked address is refused at accept.
  TAddressGuard& Guard() { return FAddressGuard; }
  // Log lines about one client address: at most one a minute per address; the next one says
  // how many were held back.
  void LogAbout(const std::string& Address, const std::string& Text);
  // An opening connection from Address was admitted or ended. Any thread.
  void OpeningEnded(const std::string& Address);

  std::string CertPassword;
  std::string CertificateFile;
  std::string PrivateKeyFile;
  // The date of the certificate file the context was loaded from.
  std::filesystem::file_time_type CertificateFileDate{};
  // How often (ms) an accepted connection makes the listener look for a new certificate file.
  std::int64_t CertificateCheckInterval = 60001;

  // Loads the certificate settings into a new server context, which the connections accepted
  // from then on use (those already running keep theirs). Raises EmnOpenSSLException.
  void ReloadContext();
  // Safe from any thread: new certificate settings, loaded by the listener thread before its
  // next accepted connection; when they do not load, that is logged and the old context kept.
  void ChangeCertificates(std::string Certificate, std::string Key, std::string Password);

 protected:
  friend class TmnServer;
  void Execute() override;
  virtual std::unique_ptr<TmnServerConnection> DoCreateConnection(
      std::unique_ptr<TmnConnectionStream> Stream);
  virtual std::unique_ptr<TmnConnectionStream> DoCreateStream(
      std::unique_ptr<TmnCustomSocket> Socket);
  // Ends every connection thread and frees it.
  virtual void DropConnections();
  // Queue the server's hooks to the main thread.
  virtual void DoChanged();
  virtual void DoStarted();
  // With soSSL: a server context with the certificate (transport/tls_listener.cpp).
  virtual void PrepareContext();
  virtual void FreeContext();
  // Reloads the context when CertificateCheckInterval has passed and the certificate file's
  // date changed; a file that does not load is logged and the old context kept.
  void CheckCertificate();

  // Queues Call to the main thread; it is dropped once this listener is gone.
  void QueueToMain(std::function<void()> Call);

  TmnServer* FServer = nullptr;         // linked, owns this listener
  int FTimeout = 3000;                  // ms
  int FSendTimeout = 60000;             // ms
  std::atomic<int> FMaxConnections{0};  // changed live by a reload
  int FMaxOpening = 0;
  int FMaxOpeningPerAddress = 0;
  int FOpeningTimeout = 0;
  std::unique_ptr<TmnCustomSocket> FSocket;
  TmnsoOptions FOptions;
  std::uint64_t FLastCheck = 0;
  std::uint64_t FLastOpeningCheck = 0;  // listener thread only
  // The TLS context given to every accepted socket; null unless soSSL. Listener thread only
  // once it runs.
  std::shared_ptr<TContext> Context;

 private:
  void Signal();
  void ReapFinished();
  // Sets up and starts the thread for one accepted socket, or refuses it when full.
  void StartConnection(std::unique_ptr<TmnCustomSocket> Socket);
  void DiscardConnection(TmnServerConnection* Connection);
  void DeliverLog();
  void CloseSocket();
  // Answers Text at once and closes the socket, in the listener thread.
  void Refuse(TmnCustomSocket& Socket, std::string_view Text);
  // Closes the opening connections that are past the opening deadline (listener thread).
  void CloseLateOpenings();
  // Closes the oldest opening connection to make room for a new one (listener thread).
  void CloseOldestOpening();
  // Takes over the settings of ChangeCertificates, if any (listener thread).
  void TakeChangedCertificates();

  std::atomic<bool> FListening{false};
  // Connections listed and started (their threads not yet listed), read in one step.
  int Occupied();
  // Connection threads started but not yet in the list; it falls as the list grows, both
  // under FLock.
  std::atomic<int> FStarting{0};
  // Every connection made by this listener; touched by the listener thread only.
  std::vector<std::unique_ptr<TmnServerConnection>> FConnections;
  TMutex FLogLock;
  std::deque<std::string> FLogMessages GUARDED_BY(FLogLock);
  TMutex FEventLock;
  std::condition_variable FEvent;
  bool FSignalled GUARDED_BY(FEventLock) = false;
  std::shared_ptr<TMainQueueGuard> FGuard;
  TAddressGuard FAddressGuard;
  TMutex FOpeningLock;
  std::unordered_map<std::string, int> FOpeningByAddress GUARDED_BY(FOpeningLock);
  int FOpeningCount GUARDED_BY(FOpeningLock) = 0;
  struct TCertificates {
    std::string Certificate, Key, Password;
  };
  TMutex FChangedLock;
  std::optional<TCertificates> FChanged GUARDED_BY(FChangedLock);
};

// A TCP server: configured and started or stopped from outside, it runs one listener thread.
// Start and Stop come from one controlling thread; the hooks DoChanged, DoStarted, DoIdle and
// the listener's log lines run on the main thread (TMainQueue). Derived classes that override
// hooks must call Stop in their own destructor.
class TmnServer {
 public:
  TmnServer();
  TmnServer(const TmnServer&) = delete;
  TmnServer& operator=(const TmnServer&) = delete;
  virtual ~TmnServer();

  // With WaitToStart, returns once the listener listens or has failed to bind.
  void Start(bool WaitToStart = false);
  void Stop();
  void Restart();
  // Closes the listening socket, which ends the listener.
  void Disconnect();
  // Waits for the listener thread to end.
  void Wait();
  void Log(const std::string& Text);
  bool Log(bool Check, const std::string& Text);
  // Called by the listener: queues DoIdle when IdleInterval has passed since the last one.
  void CheckIdle();

  TmnListener* Listener() const { return FListener.get(); }
  int Count() const;
  bool Active() const { return FActive; }
  void SetActive(bool Value);
  bool Started() const { return FActive; }
  bool Connected() const;
  const std::string& Port() const { return FPort; }
  void SetPort(const std::string& Value);
  // The port actually bound while running, else Port.
  std::string UsedPort() const;
  const std::string& Bind() const { return FBind; }
  void SetBind(const std::string& Value);
  const std::string& Address() const { return FBind; }
  void SetAddress(const std::string& Value) { SetBind(Value); }
  const std::string& Name() const { return FName; }
  void SetName(const std::string& Value);
  bool IsSecure() const { return FIsSecure; }
  void SetIsSecure(bool Value) { FIsSecure = Value; }
  bool ReuseAddress() const { return FReuseAddress; }
  void SetReuseAddress(bool Value) { FReuseAddress = Value; }
  static constexpr int kDefaultMaxConnections = 1000;
  // Client connections served at once (0: no bound); takes effect at the next Start.
  int MaxConnections() const { return FMaxConnections; }
  void SetMaxConnections(int Value) { FMaxConnections = Value; }
  // Bounds and deadline (ms) of the connections still opening (see TmnListener; 0: none, the
  // default here); take effect at the next Start.
  int MaxOpening() const { return FMaxOpening; }
  void SetMaxOpening(int Value) { FMaxOpening = Value; }
  int MaxOpeningPerAddress() const { return FMaxOpeningPerAddress; }
  void SetMaxOpeningPerAddress(int Value) { FMaxOpeningPerAddress = Value; }
  int OpeningTimeout() const { return FOpeningTimeout; }
  void SetOpeningTimeout(int Value) { FOpeningTimeout = Value; }
  // How long one reply may take to send (ms; 0 or less: no bound); when set, it replaces the
  // listener's own at the next Start.
  std::optional<int> SendTimeout() const { return FSendTimeout; }
  void SetSendTimeout(int Value) { FSendTimeout = Value; }
  std::int64_t IdleInterval() const { return FIdleInterval; }
  void SetIdleInterval(std::int64_t Value) { FIdleInterval = Value; }
  bool IsDestroying() const { return FIsDestroying; }

  std::string CertPassword;
  std::string CertificateFile;
  std::string PrivateKeyFile;
  // Handed to the listener (ms).
  std::int64_t CertificateCheckInterval = 60001;

 protected:
  friend class TmnListener;
  virtual std::unique_ptr<TmnListener> CreateListener();
  virtual void DoInit() {}
  // The server's own log lines; nothing here.
  virtual void DoLog(const std::string& /*Text*/) {}
  virtual void DoChanged(TmnListener* /*Listener*/) {}
  virtual void DoStarted(TmnListener* /*Listener*/) {}
  virtual void DoIdle() {}
  // The listener ended without being stopped (its socket failed): nothing listens any more.
  // Runs on the listener thread. Logs here.
  virtual void DoListenerLost();
  virtual void DoBeforeOpen() {}
  virtual void DoBeforeStart() {}
  virtual void DoStart() {}
  virtual void DoAfterOpen() {}
  virtual void DoBeforeClose() {}
  virtual void DoStop() {}
  virtual void DoStopped() {}
  virtual void DoAfterClose() {}

  std::atomic<bool> FIsDestroying{false};
  bool FIsStopping = false;

 private:
  std::atomic<bool> FActive{false};
  std::string FName;
  std::string FPort;
  std::string FBind = "0.0.0.0";
  std::unique_ptr<TmnListener> FListener;
  bool FIsSecure = false;
  std::uint64_t FIdleTick = 0;  // listener thread only
  std::int64_t FIdleInterval = 60000;
  bool FPrepared = false;
  bool FReuseAddress = false;
  int FMaxConnections = kDefaultMaxConnections;
  int FMaxOpening = 0;
  int FMaxOpeningPerAddress = 0;
  int FOpeningTimeout = 0;
  std::optional<int> FSendTimeout;
};

// A server whose hooks also call settable events (unless the server is being destroyed).
class TmnEventServer : public TmnServer {
 public:
  std::function<void(TmnServer&)> OnBeforeOpen;
  std::function<void(TmnServer&)> OnAfterOpen;
  std::function<void(TmnServer&)> OnBeforeClose;
  std::function<void(TmnServer&)> OnAfterClose;
  std::function<void(const std::string&)> OnLog;
  std::function<void(TmnListener&)> OnChanged;
  std::function<void(TmnListener&)> OnStarted;
  // Called on the listener thread when the listener ended without a stop.
  std::function<void(TmnServer&)> OnListenerLost;

 protected:
  void DoListenerLost() override;
  void DoBeforeOpen() override;
  void DoAfterOpen() override;
  void DoBeforeClose() override;
  void DoAfterClose() override;
  void DoLog(const std::string& Text) override;
  void DoChanged(TmnListener* Listener) override;
  void DoStarted(TmnListener* Listener) override;
};

}  // namespace qm
