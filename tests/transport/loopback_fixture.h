#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "transport/socket_stream.h"
#include "transport/sockets.h"

namespace qm::testing {

// Polls Condition until it holds or the time-out passes; true when it held.
inline bool WaitUntil(const std::function<bool()>& Condition, int TimeoutMs = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeoutMs);
  while (!Condition()) {
    if (std::chrono::steady_clock::now() > deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

// A client of the server at Host:Port that gives up connecting and reading after 3 s; Prepare
// sets it up (a TLS context) before it connects.
inline std::unique_ptr<TmnClientSocket> ConnectClient(
    const std::string& Port, TmnsoOptions Options = {}, const std::string& Host = "127.0.0.1",
    const std::function<void(TmnClientSocket&)>& Prepare = {}) {
  auto client = std::make_unique<TmnClientSocket>(Host, Port, Options);
  if (Prepare)
    Prepare(*client);
  client->SetReadTimeout(3000);
  client->SetConnectTimeout(3000);
  client->Connect();
  return client;
}

// Sends Line and returns the line that comes back ("" when none does).
inline std::string Ask(TmnClientSocket& Client, const std::string& Line) {
  Client.WriteUTF8Line(Line);
  std::string answer;
  Client.ReadUTF8Line(answer);
  return answer;
}

// A connected pair of socket streams over loopback: a client made by Connect and the accepted
// server side. Both give up reading after ReadTimeoutMs, so no test can hang on a read.
struct LoopbackPair {
  explicit LoopbackPair(int ReadTimeoutMs = 2000) {
    std::string port = "0";
    int error = 0;
    WallSocket().Bind({}, -1, port, "127.0.0.1", listener, error);
    if (!listener || listener->Listen() != erSuccess)
      throw std::runtime_error("loopback bind failed: " + std::to_string(error));
    this->port = port;
    client = std::make_unique<TmnClientSocket>("127.0.0.1", port);
    client->SetReadTimeout(ReadTimeoutMs);
    client->Connect();
    if (listener->Select(5000, slRead) != erSuccess)
      throw std::runtime_error("loopback accept timed out");
    server = std::make_unique<TmnSocketStream>(listener->Accept({}, ReadTimeoutMs));
  }

  std::string port;
  std::unique_ptr<TmnCustomSocket> listener;
  std::unique_ptr<TmnClientSocket> client;
  std::unique_ptr<TmnSocketStream> server;
};

}  // namespace qm::testing
