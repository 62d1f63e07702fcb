// The CPU of one small request's message texts, without sockets: the client's ExecuteSQL
// request saved, compressed, inflated and read back as the server does, then a reply of a few
// headers the same way in the other direction. Prints nanoseconds per round trip, so that a
// change to the message code can be measured apart from the kernel and the database.
//
//   header_path [round-trips]   (default 200000)

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "protocol/header_text_zlib.h"
#include "protocol/stream_data.h"

namespace {

constexpr std::uint64_t kMaxText = 1 << 20;

void MakeRequest(qm::TStreamData& request) {
  request.SetName("ExecuteSQL");
  request.RegisterHeader("Database", "ServerID", std::string("202612110930251"));
  request.RegisterHeader("Database", "Handle", std::int32_t{1});
  request.RegisterHeader("Database", "TRHandle", std::int32_t{0});
  request.RegisterHeader("Database", "SQL", std::string("select 1"));
}

void MakeReply(qm::TStreamData& reply) {
  reply.SetName("OK");
  reply.RegisterHeader("Database", "RowsAffected", std::int32_t{0});
  reply.RegisterHeader("Database", "ExecTime", std::int32_t{0});
}

std::string Wire(void (*make)(qm::TStreamData&)) {
  qm::TStreamData message;
  make(message);
  return qm::CompressHeaderText(message.SaveToBytes());
}

// One side's work for one round trip: save and compress what it sends, inflate and read what
// it receives. Each side runs on a thread of its own, as the client and the server do.
std::size_t Side(void (*make_sent)(qm::TStreamData&), const std::string& received_wire) {
  qm::TStreamData sent;
  make_sent(sent);
  const std::string wire = qm::CompressHeaderText(sent.SaveToBytes());
  const std::string text = qm::InflateHeaderText(received_wire, kMaxText);
  qm::TStreamData received;
  received.LoadFromBytes(text);
  return wire.size() + static_cast<std::size_t>(received.Count());
}

// The thread's own CPU time: the machine may be shared, and waiting is not the code's cost.
double ThreadCpuNs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

double NsPerRound(long rounds, void (*make_sent)(qm::TStreamData&), const std::string& received) {
  double ns = 0;
  std::thread side([&] {
    std::size_t check = 0;
    for (long i = 0; i < 1000; ++i) {
      check += Side(make_sent, received);
    }
    const double start = ThreadCpuNs();
    for (long i = 0; i < rounds; ++i) {
      check += Side(make_sent, received);
    }
    ns = (ThreadCpuNs() - start) / static_cast<double>(rounds);
    if (check == 0) {
      std::abort();
    }
  });
  side.join();
  return ns;
}

}  // namespace

int main(int argc, char** argv) {
  const long rounds = argc > 1 ? std::atol(argv[1]) : 200000;
  const std::string request = Wire(MakeRequest);
  const std::string reply = Wire(MakeReply);
  const double client = NsPerRound(rounds, MakeRequest, reply);
  const double server = NsPerRound(rounds, MakeReply, request);
  std::printf("header_path_client_ns %.0f\nheader_path_server_ns %.0f\n", client, server);
  return 0;
}
