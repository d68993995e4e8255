#include "core/net/socket/socket_data_handler.h"

#include <gtest/gtest.h>

#include <memory>

#include "core/base/net_message.h"
#include "core/net/loop/endpoint_sock_addr.h"
#include "core/net/socket/socket_test_util.h"
#include "core/net/tls/tls_handler.h"

namespace {

using hx::testing::RecordingHelper;

constexpr uint32_t kSend = HXZADataHandler::kReadyToSend;
constexpr uint32_t kBuffered = HXZADataHandler::kBufferedData;

std::shared_ptr<HXNetMessage> MessageOf(size_t bytes) {
  auto message = std::make_shared<HXNetMessage>(64);
  for (size_t i = 0; i < bytes; ++i) message->append("x", 1);
  return message;
}

TEST(DataHandlerFlags, SetReportsNewBitsAndClearReportsFormerFlags) {
  HXZANullDataHandler handler(-1, AF_INET, SOCK_STREAM, IPPROTO_TCP);
  EXPECT_EQ(handler.SetFlag(kSend), kSend);
  EXPECT_EQ(handler.SetFlag(kSend | 0x1), 0x1u) << "only bits not yet set count as new";
  EXPECT_EQ(handler.GetFlags(), kSend | 0x1);
  EXPECT_EQ(handler.ClearFlag(kSend), kSend | 0x1);
  EXPECT_EQ(handler.GetFlags(), 0x1u);
  EXPECT_EQ(handler.ClearFlag(kSend), 0x1u) << "clearing a clear bit reports it as not set";
}

TEST(DataHandlerBuffer, BufferedFlagFollowsTheBytesHeld) {
  HXZANullDataHandler handler(-1, AF_INET, SOCK_STREAM, IPPROTO_TCP);
  handler.setDataBuffer(MessageOf(0));
  EXPECT_EQ(handler.GetFlags() & kBuffered, 0u) << "an empty buffer is no pending data";

  handler.setDataBuffer(MessageOf(3));
  EXPECT_EQ(handler.GetFlags() & kBuffered, kBuffered);
  EXPECT_NE(handler.getDataBuffer(false), nullptr);
  EXPECT_EQ(handler.GetFlags() & kBuffered, kBuffered) << "a look leaves buffer and flag";

  std::shared_ptr<HXNetMessage> taken = handler.getDataBuffer(true);
  ASSERT_NE(taken, nullptr);
  EXPECT_EQ(taken->size(), 3u);
  EXPECT_EQ(handler.getDataBuffer(false), nullptr);
  EXPECT_EQ(handler.GetFlags() & kBuffered, 0u);

  handler.setDataBuffer(MessageOf(1));
  handler.setDataBuffer(nullptr);
  EXPECT_EQ(handler.GetFlags() & kBuffered, 0u);
}

TEST(DataHandlerCopy, CloneSharesHelperAndEndpointButNotPendingState) {
  bool helper_deleted = false;
  auto* helper = new RecordingHelper(&helper_deleted);
  auto original = std::make_unique<HXZADataHPHolder>(helper, 7, nullptr, AF_INET6, SOCK_DGRAM,
                                                     IPPROTO_UDP);
  auto endpoint = std::make_shared<HXZEndpointSockAddr>(HXSockAddr());
  original->SetAddress(endpoint);
  original->SetFlag(kSend);
  original->SetState(true);
  original->SetHandle(7);
  original->setDataBuffer(MessageOf(2));
  original->SetTlsHandler(std::make_shared<HXTLSHandler>());

  std::unique_ptr<HXZADataHandler> copy(original->Clone());
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->GetHandle(), 7);
  EXPECT_EQ(copy->getHandleEdition(), 1u) << "the copy's descriptor history starts anew";
  EXPECT_EQ(copy->GetFamily(), AF_INET6);
  EXPECT_EQ(copy->GetType(), SOCK_DGRAM);
  EXPECT_EQ(copy->GetProtocol(), IPPROTO_UDP);
  EXPECT_EQ(copy->GetAddress(), endpoint);
  EXPECT_EQ(copy->Parent(), helper);
  EXPECT_FALSE(copy->GetState()) << "a clone is not polled";
  EXPECT_EQ(copy->GetFlags(), kSend) << "the buffered-data flag stays with the buffer";
  EXPECT_EQ(copy->getDataBuffer(false), nullptr);
  EXPECT_EQ(copy->GetTlsHandler(), nullptr);

  original.reset();
  EXPECT_FALSE(helper_deleted) << "the copy still holds the helper";
  copy.reset();
  EXPECT_TRUE(helper_deleted);
}

TEST(DataHandlerHandles, EveryDescriptorChangeAdvancesTheEdition) {
  HXZANullDataHandler handler(5, AF_INET, SOCK_STREAM, IPPROTO_TCP);
  EXPECT_EQ(handler.getHandleEdition(), 1u);
  handler.SetHandle(-1);
  EXPECT_EQ(handler.GetHandle(), -1);
  EXPECT_EQ(handler.getHandleEdition(), 2u);
}

TEST(DataHandlerHandles, ExchangeSwapsDescriptorsAndAdvancesBothEditions) {
  auto* helper = new RecordingHelper();
  HXZADataHPHolder first(helper, 3, nullptr, AF_INET, SOCK_STREAM, IPPROTO_TCP);
  HXZADataHPHolder second(helper, 4, nullptr, AF_INET, SOCK_STREAM, IPPROTO_TCP);
  int zmq_a = 0;
  first.SetSocket(&zmq_a);

  first.Exchange(second);
  EXPECT_EQ(first.GetHandle(), 4);
  EXPECT_EQ(second.GetHandle(), 3);
  EXPECT_EQ(first.GetSocket(), nullptr);
  EXPECT_EQ(second.GetSocket(), &zmq_a);
  EXPECT_EQ(first.getHandleEdition(), 2u);
  EXPECT_EQ(second.getHandleEdition(), 2u);
}

TEST(DataHandlerNull, HasNoHelperAndCannotBeCopiedOrExchanged) {
  HXZANullDataHandler bare(9, AF_INET, SOCK_STREAM, IPPROTO_TCP);
  HXZANullDataHandler other(10, AF_INET, SOCK_STREAM, IPPROTO_TCP);
  EXPECT_EQ(bare.Handler(), nullptr);
  EXPECT_EQ(bare.Parent(), nullptr);
  EXPECT_EQ(bare.Clone(), nullptr);
  bare.Exchange(other);
  EXPECT_EQ(bare.GetHandle(), 9);
  EXPECT_EQ(other.GetHandle(), 10);
  EXPECT_EQ(bare.Callback(), nullptr);
}

}  // namespace
