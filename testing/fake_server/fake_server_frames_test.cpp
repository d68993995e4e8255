// The fake server's own framing, checked against bytes worked out from the wire format by hand.

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <algorithm>
#include <string>
#include <vector>

#include "testing/fake_server/handshake_record.h"
#include "testing/fake_server/message_cipher.h"
#include "testing/fake_server/message_cutter.h"
#include "testing/fake_server/message_frame.h"
#include "testing/fake_server/raw_test_client.h"

namespace hx::testing {
namespace {

using namespace raw;  // NOLINT: the worked bytes

// A service message whose 100-byte body is long enough to be sampled at offsets 47, 63, 79, 95.
MessageFrame SampledServiceMessage() {
  MessageFrame frame;
  frame.flags = kRequestFlags;
  frame.sequence = 7;
  frame.time_limit = 20000;
  frame.names.src_cid = "cid";
  frame.names.src_service = "AUTH";
  frame.names.add_string = "52";
  frame.names.dst_service = "AUTH";
  for (int i = 0; i < 100; ++i) frame.body.push_back(static_cast<uint8_t>(i));
  return frame;
}

bool HasProblem(const std::vector<std::string>& problems, const std::string& text) {
  return std::any_of(problems.begin(), problems.end(),
                     [&](const std::string& p) { return p.find(text) != std::string::npos; });
}

TEST(FakeServerFramesTest, HandshakeReplyMatchesHandWorkedBytes) {
  TransportHandshakeReply reply;
  reply.client_id = "abc";
  EXPECT_EQ(EncodeTransportHandshakeReply(reply), kReplyAbc);
}

TEST(FakeServerFramesTest, ClientRequestReadsCleanly) {
  TransportHandshakeRequest request;
  std::vector<std::string> problems;
  ASSERT_TRUE(
      DecodeTransportHandshakeRequest(kRequestAbc.data(), kRequestAbc.size(), request, problems));
  EXPECT_TRUE(problems.empty()) << problems.front();
  EXPECT_EQ(request.client_id, "abc");
  EXPECT_EQ(request.second_name, "abc");
  EXPECT_FALSE(request.secure_requested);
  EXPECT_EQ(request.version, 9);
}

TEST(FakeServerFramesTest, RequestBreachesAreNamed) {
  const Bytes abc_body = {3, 'a', 'b', 'c', 0, 3, 'a', 'b', 'c', 0, 0, 0};
  struct Case {
    const char* what;
    Bytes record;
    const char* problem;
    bool readable;
  };
  Bytes bad_primary = kRequestAbc;
  bad_primary[15] = 'X';  // padding that is not zero
  Bytes bad_head = kRequestAbc;
  bad_head[16] ^= 0x20;  // lowest head checksum bit
  Bytes sampled_body_byte = kRequestAbc;
  sampled_body_byte[23] = 'd';  // offset 23 is sampled; the ids now differ too
  Bytes unsampled_body_byte = kRequestAbc;
  unsampled_body_byte[22] = 'x';
  Bytes second_name_differs = abc_body;
  second_name_differs[8] = 'x';
  Bytes value_set = abc_body;
  value_set[10] = 1;
  Bytes keep_alive = abc_body;
  keep_alive[11] = 1;
  Bytes trailing = abc_body;
  trailing.push_back(0);
  const Case cases[] = {
      {"primary padding", bad_primary, "primary field", true},
      {"head checksum", bad_head, "head checksum", true},
      {"sampled body byte", sampled_body_byte, "body checksum", true},
      // Bytes the checksum does not sample are only caught by the names' own rule.
      {"unsampled body byte", unsampled_body_byte, "second name differs", true},
      {"version 10", EncodeZeroHandshake(kTransportPrimaryField, 10, abc_body), "version 10", true},
      {"second name", EncodeZeroHandshake(kTransportPrimaryField, 9, second_name_differs),
       "second name differs", true},
      {"8-bit value", EncodeZeroHandshake(kTransportPrimaryField, 9, value_set), "8-bit value",
       true},
      {"keep-alive", EncodeZeroHandshake(kTransportPrimaryField, 9, keep_alive), "keep-alive",
       true},
      {"trailing byte", EncodeZeroHandshake(kTransportPrimaryField, 9, trailing), "trailing", true},
      {"names cut", EncodeZeroHandshake(kTransportPrimaryField, 9, Bytes{3, 'a', 'b', 'c', 0, 3}),
       "cut short", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TransportHandshakeRequest request;
    std::vector<std::string> problems;
    EXPECT_EQ(DecodeTransportHandshakeRequest(c.record.data(), c.record.size(), request, problems),
              c.readable);
    EXPECT_TRUE(HasProblem(problems, c.problem));
  }
}

TEST(FakeServerFramesTest, MessageEncodingMatchesHandWorkedBytes) {
  MessageFrame ping;
  ping.sequence = 1;
  ping.time_limit = 5000;
  ping.names.add_string = "p";
  ping.body = {0};
  EXPECT_EQ(EncodeMessage(ping), kPing);

  const Bytes sampled = EncodeMessage(SampledServiceMessage());
  ASSERT_EQ(sampled.size(), 147u);
  EXPECT_EQ(sampled[2], 47);
  EXPECT_EQ(sampled[1], 0xb0);
  EXPECT_EQ(sampled[4], 0x6a);

  // The header checksum covers neither the notify bit nor the time limit.
  MessageFrame notify = SampledServiceMessage();
  notify.flags |= kMessageNotifyBit;
  notify.time_limit = 99;
  EXPECT_EQ(EncodeMessage(notify)[1], 0xb0);
}

TEST(FakeServerFramesTest, MessageEncodingRefusesWhatCannotTravel) {
  MessageFrame frame = SampledServiceMessage();
  frame.names.dst_user = std::string(255, 'u');
  EXPECT_FALSE(EncodeMessage(frame).empty());
  frame.names.dst_user.push_back('u');
  EXPECT_TRUE(EncodeMessage(frame).empty());
  frame = SampledServiceMessage();
  frame.body.clear();
  EXPECT_TRUE(EncodeMessage(frame).empty());
}

TEST(FakeServerFramesTest, MessageBreachesAreNamed) {
  const Bytes good = EncodeMessage(SampledServiceMessage());
  struct Case {
    const char* what;
    size_t offset;
    uint8_t value;
    const char* problem;  // "" when the change must go unnoticed
    bool readable;
  };
  const Case cases[] = {
      {"bit 7 clear", 0, 0x41, "flags bit 7 clear", true},
      {"version 2", 0, 0xC2, "version", true},
      {"sequence 0", 8, 0x00, "sequence number 0", true},
      {"header checksum", 1, 0xb1, "header checksum", true},
      {"sampled body byte", 47, 0xff, "body checksum", true},
      {"unsampled body byte", 48, 0xff, "", true},
      {"time limit", 13, 0x00, "", true},
      {"name NUL", 20, 'x', "lacks its NUL", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Bytes message = good;
    message[c.offset] = c.value;
    MessageFrame frame;
    std::vector<std::string> problems;
    EXPECT_EQ(DecodeMessage(message.data(), message.size(), frame, problems), c.readable);
    if (*c.problem == '\0') {
      EXPECT_TRUE(problems.empty()) << problems.front();
    } else {
      EXPECT_TRUE(HasProblem(problems, c.problem));
    }
  }
  MessageFrame frame;
  std::vector<std::string> problems;
  ASSERT_TRUE(DecodeMessage(good.data(), good.size(), frame, problems));
  EXPECT_EQ(frame.names.src_cid, "cid");
  EXPECT_EQ(frame.names.dst_service, "AUTH");
  EXPECT_EQ(frame.body, SampledServiceMessage().body);
}

TEST(FakeServerFramesTest, CutterWaitsForWholeMessagesAndRefusesShortHeaders) {
  MessageCipher plain;
  Bytes stream = kPing;
  stream.insert(stream.end(), kPing.begin(), kPing.begin() + 20);
  CutResult first = CutMessage(stream.data(), stream.size(), plain);
  ASSERT_EQ(first.status, CutResult::kMessage);
  EXPECT_EQ(first.consumed, kPing.size());
  EXPECT_EQ(first.message, kPing);
  EXPECT_EQ(CutMessage(stream.data() + first.consumed, 20, plain).status, CutResult::kNeedMore);

  Bytes short_header = kPing;
  short_header[2] = 33;
  EXPECT_EQ(CutMessage(short_header.data(), short_header.size(), plain).status, CutResult::kBroken);
}

// OpenSSL's own padded decryption, to check the cipher's padding independently.
Bytes OpenSslDecrypt(const Bytes& key, const Bytes& cipher) {
  EVP_CIPHER_CTX* context = EVP_CIPHER_CTX_new();
  Bytes plain(cipher.size());
  int length = 0;
  int tail = 0;
  EVP_DecryptInit_ex(context, EVP_aes_128_ecb(), nullptr, key.data(), nullptr);
  EVP_DecryptUpdate(context, plain.data(), &length, cipher.data(), static_cast<int>(cipher.size()));
  const bool finished = EVP_DecryptFinal_ex(context, plain.data() + length, &tail) == 1;
  EVP_CIPHER_CTX_free(context);
  plain.resize(finished ? length + tail : 0);
  return plain;
}

TEST(FakeServerFramesTest, EncipheredMessagesArePaddedAndCutWhole) {
  const Bytes read_key(16, 0x11);
  const Bytes write_key(16, 0x22);
  MessageCipher server;
  ASSERT_TRUE(server.SetKeys(read_key, write_key));
  // The peer: reads with the server's write key and writes with its read key.
  MessageCipher peer;
  ASSERT_TRUE(peer.SetKeys(write_key, read_key));

  const Bytes sent = peer.Encipher(kPing);
  ASSERT_EQ(sent.size(), 48u);  // 36 bytes and 12 of padding
  EXPECT_EQ(OpenSslDecrypt(read_key, sent), kPing);

  Bytes stream = sent;
  stream.insert(stream.end(), sent.begin(), sent.begin() + 31);
  CutResult cut = CutMessage(stream.data(), stream.size(), server);
  ASSERT_EQ(cut.status, CutResult::kMessage);
  EXPECT_EQ(cut.consumed, 48u);
  EXPECT_EQ(cut.message, kPing);
  EXPECT_EQ(CutMessage(stream.data() + 48, 31, server).status, CutResult::kNeedMore);

  // A last block whose padding does not fit the message breaks the stream.
  Bytes bad = kPing;
  bad.resize(47, 0);
  bad.push_back(1);  // pads to a whole block with one byte, so 11 bytes too many remain
  Bytes bad_cipher = peer.Encipher(bad);
  bad_cipher.resize(48);
  EXPECT_EQ(CutMessage(bad_cipher.data(), bad_cipher.size(), server).status, CutResult::kBroken);
  EXPECT_FALSE(server.SetKeys(Bytes(24, 1), write_key));
}

}  // namespace
}  // namespace hx::testing
