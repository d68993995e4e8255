// The fake TCP media relay itself, driven by plain blocking peers: its answers, its pairing of a
// sender with the receivers that name it, forwarding by frame head only, and the program form.

#include "testing/media_relay/tcp_relay.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "testing/hostile_peers/blocking_peer.h"
#include "testing/test_support.h"

namespace {

using hx::hostile::Bytes;
using hx::testing::TcpMediaRelay;

// Connects and sends a stream request; -1 when that failed.
int Request(uint16_t port, uint8_t role, const std::string& own, const std::string& peer) {
  const int handle = hx::hostile::ConnectLoopback(port);
  if (handle == -1) return -1;
  hx::hostile::StreamRequestFields fields;
  fields.role = role;
  fields.conference = "cf";
  fields.streamId = fields.name = own;
  fields.peerId = peer;
  hx::hostile::SendAll(handle, hx::hostile::MakeRecord("_HX_STREAMS_", 1,
                                                       hx::hostile::StreamRequestBody(fields)));
  return handle;
}

TEST(TcpMediaRelayTest, PairsSenderWithTheReceiversNamingItAndForwardsWholeFrames) {
  TcpMediaRelay relay;
  ASSERT_TRUE(relay.start());
  const int sender = Request(relay.port(), 0, "s1", "r1");
  const int receiver = Request(relay.port(), 1, "r1", "s1");
  const int stranger = Request(relay.port(), 1, "r2", "s2");
  for (int handle : {sender, receiver, stranger}) {
    const auto answer = hx::hostile::ReadRecord(handle);
    ASSERT_TRUE(answer.has_value());
    EXPECT_TRUE(answer->headOk && answer->bodyOk);
    EXPECT_EQ(answer->body, hx::hostile::StreamResponseBody(
                                1, 5, hx::hostile::TrackMask({1, 2, 5, 254, 255})));
  }
  ASSERT_TRUE(hx::testing::WaitFor([&] { return relay.pairedReceivers() == 1; }, 10000));

  // Payload bytes the relay cannot read (as enciphered ones are), sent a byte at a time.
  Bytes frames = TcpMediaRelay::MakeFrame(2, Bytes(300, 0xEE), 77);
  const Bytes second = TcpMediaRelay::MakeFrame(200, {1, 2, 3});
  frames.insert(frames.end(), second.begin(), second.end());
  ASSERT_TRUE(hx::hostile::SendBytewise(sender, frames));
  EXPECT_EQ(hx::hostile::ReadExactly(receiver, frames.size()), frames);
  EXPECT_TRUE(hx::hostile::StaysSilentAndOpen(stranger, 200));
  const auto seen = relay.frames();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].track, 2);
  EXPECT_EQ(seen[0].tick, 77u);
  EXPECT_EQ(seen[1].payload, (Bytes{1, 2, 3}));
  for (int handle : {sender, receiver, stranger}) close(handle);
}

TEST(TcpMediaRelayTest, ProgramPrintsItsPortAndFollowsItsScript) {
  const char* binary = std::getenv("HX_BINARY_DIR");
  ASSERT_NE(binary, nullptr) << "run through ctest: HX_BINARY_DIR names the build";
  const std::string program = std::string(binary) + "/testing/hx_tcp_relay";
  int pipe_ends[2];
  ASSERT_EQ(pipe(pipe_ends), 0);
  const pid_t pid = fork();
  ASSERT_NE(pid, -1);
  if (pid == 0) {
    dup2(pipe_ends[1], STDOUT_FILENO);
    close(pipe_ends[0]);
    execl(program.c_str(), program.c_str(), "--answer=refuse", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipe_ends[1]);
  FILE* output = fdopen(pipe_ends[0], "r");
  unsigned port = 0;
  const bool read_port = output != nullptr && fscanf(output, "%u", &port) == 1;
  int handle = -1;
  std::optional<hx::hostile::Record> answer;
  if (read_port) {
    handle = Request(static_cast<uint16_t>(port), 0, "s1", "r1");
    answer = hx::hostile::ReadRecord(handle);
  }
  kill(pid, SIGTERM);
  waitpid(pid, nullptr, 0);
  if (output != nullptr) fclose(output);
  if (handle != -1) close(handle);
  ASSERT_TRUE(read_port);
  ASSERT_TRUE(answer.has_value());
  ASSERT_FALSE(answer->body.empty());
  EXPECT_EQ(answer->body[0], 0);  // refused
}

}  // namespace
