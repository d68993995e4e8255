// The in-stream command manager: every command code from 0 to 13 with fitting and unfitting
// lengths, as requests and as other modes, with the calls it makes, the replies it queues and the
// order in which the send list is flushed; an unknown command the control band refuses; command
// frames from a TCP receive stream.
#include "core/conference/control/command_manager.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/streams/stream_frame_head.h"
#include "core/wire/media_format.h"

namespace {

// Records every Process call and every command put on the wire.
class RecordingManager : public HX_CommandManager {
 public:
  bool AddCommand(const HX_MiscCommand& command, bool toSend) override {
    addCommandInt(command, toSend);
    return true;
  }
  bool ProcessForceKeyFrame() override {
    calls.push_back("key frame");
    return true;
  }
  bool ProcessCommandReplay(const HX_MiscCommand& command) override {
    sent.push_back(command);
    return true;
  }
  bool ProcessControlBandCommand(const HX_MiscCommand& command) override {
    calls.push_back("band " + std::to_string(command.code));
    bandCommands.push_back(command);
    return bandAccepts;
  }
  bool ProcessRestrictBitrate(const conference::ServerBitrateControl& c) override {
    calls.push_back("restrict " + std::to_string(c.baseLimit) + "," + std::to_string(c.baseMaxLimit) +
                    "," + std::to_string(c.videoLimit) + "," + std::to_string(c.dsLimit) + "," +
                    std::to_string(c.confLimit) + "," + std::to_string(c.fpsLimit) + "," +
                    std::to_string(c.videoResolutionLimit) + "," +
                    std::to_string(c.dsResolutionLimit));
    return true;
  }
  bool ProcessChangeSndMediaFormat(const HX_MediaFormat& format) override {
    calls.push_back("format " + std::to_string(format.width) + "x" + std::to_string(format.height));
    return true;
  }

  bool bandAccepts = false;
  std::vector<std::string> calls;
  std::vector<HX_MiscCommand> bandCommands;
  std::vector<HX_MiscCommand> sent;
};

HX_MiscCommand Command(uint8_t code, uint8_t mode, uint8_t result, std::vector<uint8_t> data) {
  std::vector<uint8_t> bytes = {code, mode, result, static_cast<uint8_t>(data.size())};
  bytes.insert(bytes.end(), data.begin(), data.end());
  return HX_MiscCommand(bytes.data(), bytes.size());
}

std::vector<uint8_t> U32s(std::initializer_list<uint32_t> values) {
  std::vector<uint8_t> out;
  for (uint32_t v : values) {
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  return out;
}

std::vector<uint8_t> Format(uint32_t width, uint32_t height) {
  HX_MediaFormat format;
  format.width = width;
  format.height = height;
  std::vector<uint8_t> out(HX_MediaFormat::kRecordSize);
  format.Store(out.data());
  return out;
}

TEST(CommandManager, TableOfCodesLengthsAndModes) {
  constexpr int kNoReply = -1;
  const uint8_t kReq = HX_CmdMode_Request, kRep = HX_CmdMode_Reply, kInfo = HX_CmdMode_Info;
  struct Row {
    const char* what;
    HX_MiscCommand command;
    std::vector<std::string> calls;  // before the control band's call
    int reply;                       // the queued reply's result, or kNoReply
  } rows[] = {
      {"code 0", Command(0, kReq, 0, {}), {}, 0xFF},
      {"key frame request", Command(1, kReq, 0, {}), {"key frame"}, 0xFF},
      {"key frame notice", Command(1, kInfo, 0, {}), {"key frame"}, kNoReply},
      {"restriction", Command(2, kReq, 0, U32s({300})), {"restrict 300,300,300,300,300,0,0,0"}, 0},
      {"restriction, 5 bytes", Command(2, kReq, 0, {1, 2, 3, 4, 5}), {}, 0xFF},
      {"restriction, 3 bytes", Command(2, kReq, 0, {1, 2, 3}), {}, 0xFF},
      {"fps vs quality", Command(3, kReq, 0, U32s({7})), {}, 0},
      {"fps vs quality, 5 bytes", Command(3, kReq, 0, {1, 2, 3, 4, 5}), {}, 0xFF},
      {"send format change", Command(4, kReq, 0, Format(640, 480)), {}, 0xFF},
      {"format reply", Command(5, kRep, 0, Format(640, 480)), {"format 640x480"}, kNoReply},
      {"format reply, result 1", Command(5, kRep, 1, Format(640, 480)), {}, kNoReply},
      {"format reply, too short to read", Command(5, kRep, 0, std::vector<uint8_t>(10, 9)), {},
       kNoReply},
      {"format reply, 250 bytes", Command(5, kRep, 0, std::vector<uint8_t>(250, 0)), {}, kNoReply},
      {"format request", Command(5, kReq, 0, Format(640, 480)), {}, 0},
      {"format notice", Command(5, kInfo, 0, Format(640, 480)), {}, kNoReply},
      {"server restriction", Command(11, kReq, 0, U32s({100, 50})),
       {"restrict 50,50,100,100,100,0,0,0"}, 0},
      {"server restriction, 7 bytes", Command(11, kReq, 0, std::vector<uint8_t>(7, 1)), {}, 0xFF},
      {"server record", Command(12, kReq, 0, U32s({1, 2, 3, 4, 5, 6, 7, 8})),
       {"restrict 2,3,4,5,1,6,7,8"}, 0},
      {"server record, notice", Command(12, kInfo, 0, U32s({1, 2, 3, 4, 5, 6, 7, 8})),
       {"restrict 2,3,4,5,1,6,7,8"}, kNoReply},
      {"server record, 31 bytes", Command(12, kReq, 0, std::vector<uint8_t>(31, 1)), {}, 0xFF},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    RecordingManager manager;
    manager.AddCommand(row.command, false);
    EXPECT_TRUE(manager.ReceivedCommandProcess());
    std::vector<std::string> expected = row.calls;
    expected.push_back("band " + std::to_string(row.command.code));
    EXPECT_EQ(manager.calls, expected);
    ASSERT_EQ(manager.bandCommands.size(), 1u);
    EXPECT_EQ(std::memcmp(manager.bandCommands[0].Bytes(), row.command.Bytes(), 254), 0);
    EXPECT_EQ(manager.ReceivedCount(), 0u);
    if (row.reply == kNoReply) {
      EXPECT_TRUE(manager.sent.empty());
      continue;
    }
    ASSERT_EQ(manager.sent.size(), 1u);
    HX_MiscCommand reply = row.command;
    reply.Reply(static_cast<uint8_t>(row.reply));
    EXPECT_EQ(std::memcmp(manager.sent[0].Bytes(), reply.Bytes(), 254), 0);
  }
}

TEST(CommandManager, UnknownCodesGoToTheControlBandAndRequestsAreRefused) {
  for (uint8_t code : {6, 7, 8, 9, 10, 13, 200}) {
    SCOPED_TRACE(code);
    RecordingManager manager;
    manager.bandAccepts = true;
    manager.AddCommand(Command(code, HX_CmdMode_Request, 0, {1}), false);
    EXPECT_TRUE(manager.ReceivedCommandProcess());
    EXPECT_EQ(manager.calls, std::vector<std::string>{"band " + std::to_string(code)});
    ASSERT_EQ(manager.sent.size(), 1u);
    EXPECT_EQ(manager.sent[0].mode, HX_CmdMode_Reply);
    EXPECT_EQ(manager.sent[0].result, 0xFF);
  }
}

TEST(CommandManager, RepliesFollowWhatWasWaitingToBeSent) {
  RecordingManager manager;
  HX_MiscCommand ping;
  ping.Ping();
  manager.AddCommand(ping, true);
  manager.AddCommand(Command(3, HX_CmdMode_Request, 0, U32s({1})), false);
  manager.AddCommand(Command(1, HX_CmdMode_Info, 0, {}), false);
  manager.AddCommand(Command(2, HX_CmdMode_Request, 0, U32s({64})), false);
  EXPECT_TRUE(manager.ReceivedCommandProcess());
  ASSERT_EQ(manager.sent.size(), 3u);
  EXPECT_EQ(manager.sent[0].code, HX_Cmd_Ping);
  EXPECT_EQ(manager.sent[1].code, 3);
  EXPECT_EQ(manager.sent[2].code, 2);
  EXPECT_EQ(manager.ToSendCount(), 0u);
  EXPECT_EQ(manager.calls, (std::vector<std::string>{"band 3", "key frame", "band 1",
                                                     "restrict 64,64,64,64,64,0,0,0", "band 2"}));
}

TEST(CommandManager, AnUnknownCommandTheBandRefusesStopsTheBatch) {
  RecordingManager manager;
  HX_MiscCommand ping;
  ping.Ping();
  manager.AddCommand(ping, true);
  manager.AddCommand(Command(3, HX_CmdMode_Request, 0, U32s({1})), false);
  manager.AddCommand(Command(7, HX_CmdMode_Request, 0, {1, 2}), false);
  manager.AddCommand(Command(1, HX_CmdMode_Info, 0, {}), false);
  EXPECT_FALSE(manager.ReceivedCommandProcess());
  EXPECT_EQ(manager.calls, (std::vector<std::string>{"band 3", "band 7"}));
  EXPECT_TRUE(manager.sent.empty());  // nothing is flushed
  EXPECT_EQ(manager.ReceivedCount(), 1u);
  EXPECT_EQ(manager.ToSendCount(), 2u);  // the ping and the reply to code 3; none to code 7

  // The next processing takes up the rest.
  EXPECT_TRUE(manager.ReceivedCommandProcess());
  EXPECT_EQ(manager.calls.back(), "band 1");
  ASSERT_EQ(manager.sent.size(), 2u);
  EXPECT_EQ(manager.sent[1].code, 3);
  EXPECT_EQ(manager.sent[1].result, 0);
}

std::vector<uint8_t> Frame(const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> frame(HX_StreamFrameHead::kSize + payload.size());
  std::copy(payload.begin(), payload.end(), frame.begin() + HX_StreamFrameHead::kSize);
  reinterpret_cast<HX_StreamFrameHead*>(frame.data())
      ->Set(frame.data() + HX_StreamFrameHead::kSize, static_cast<uint16_t>(payload.size()), 0,
            254);
  return frame;
}

TEST(CommandManager, CommandFramesFromATcpReceiveStream) {
  RecordingManager manager;
  EXPECT_FALSE(manager.ParseCommandMisc(nullptr));
  std::vector<uint8_t> empty = Frame({});
  EXPECT_FALSE(manager.ParseCommandMisc(reinterpret_cast<HX_StreamFrameHead*>(empty.data())));
  EXPECT_TRUE(manager.calls.empty());

  std::vector<uint8_t> one = Frame({0x55});
  EXPECT_TRUE(manager.ParseCommandMisc(reinterpret_cast<HX_StreamFrameHead*>(one.data())));
  EXPECT_EQ(manager.calls, std::vector<std::string>{"key frame"});

  struct {
    size_t size;
    uint8_t stored;
  } cases[] = {{2, 2}, {250, 250}, {251, 250}, {1000, 250}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    std::vector<uint8_t> payload(c.size);
    for (size_t i = 0; i < c.size; ++i) payload[i] = static_cast<uint8_t>(i * 7);
    std::vector<uint8_t> frame = Frame(payload);
    manager.bandCommands.clear();
    EXPECT_TRUE(manager.ParseCommandMisc(reinterpret_cast<HX_StreamFrameHead*>(frame.data())));
    ASSERT_EQ(manager.bandCommands.size(), 1u);
    const HX_MiscCommand& got = manager.bandCommands[0];
    EXPECT_EQ(got.code, HX_Cmd_BrokerStat);
    EXPECT_EQ(got.mode, HX_CmdMode_Info);
    EXPECT_EQ(got.length, c.stored);
    EXPECT_EQ(std::memcmp(got.data, payload.data(), c.stored), 0);
  }
}

}  // namespace
