// The engines that do nothing and the file preview record.
#include "core/chat/chat_engines.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "core/base/container.h"
#include "core/chat/file_preview.h"
#include "testing/test_console_client.h"

namespace {

TEST(ChatV2StubTest, DoesNothingAndNeverCallsBack) {
  hx::testing::TestConsoleClient client;  // the engines need no CreateApplication
  const auto engine = client.GetChatV2();
  ASSERT_NE(engine, nullptr);
  int calls = 0;
  auto count = [&calls](int32_t, const std::string&) { ++calls; };
  EXPECT_EQ(engine->MakeChatSystem("user", "server", std::make_unique<hx::chatv2::TransportChannel>(),
                                   [&calls](int32_t) { ++calls; }),
            0);
  EXPECT_TRUE(engine->GetAllMyPersonalContexts().empty());
  const hx::chatv2::Context context = engine->GetGlobalContext("chat");
  EXPECT_TRUE(context.chatId.empty());
  EXPECT_TRUE(context.name.empty());
  EXPECT_TRUE(context.owner.empty());
  EXPECT_EQ(context.type, 0);
  EXPECT_EQ(context.created, 0);
  EXPECT_EQ(context.unread, 0u);
  EXPECT_TRUE(context.participants.empty());
  EXPECT_TRUE(engine->GetMessages("chat", "m1", 10).empty());
  EXPECT_TRUE(engine->GetUndeliveredMessagesByChatId("chat").empty());
  engine->CreateChat(1, "name", count);
  engine->InviteToChat("chat", "user", count);
  engine->AddParticipant("chat", "user", count);
  engine->RemoveParticipant("chat", "user", count);
  engine->SendTextMessage("chat", "text", count);
  engine->SendP2PTextMessage("user", "text", count);
  engine->SetOnInviteCallBack([&calls](const std::string&, const std::string&) { ++calls; });
  engine->SetOnInviteResponseCallBack(count);
  EXPECT_TRUE(engine->SetOnMsgRecvSlot([&calls](const hx::chatv2::Message&) { ++calls; }).empty());
  EXPECT_EQ(engine->GetConfig(), nullptr);
  engine->ResolveResult(HX_Container());
  engine->DestroyChat();
  EXPECT_EQ(calls, 0);
}

// Calls the base class's own Init and Shutdown, which the stub does not.
class StoringTransfer : public HX_FileTransferStub {
 public:
  void Init(const std::string& folder, const std::vector<std::string>& list) override {
    HX_FileTransfer::Init(folder, list);
  }
  void Shutdown() override { HX_FileTransfer::Shutdown(); }
};

TEST(FileTransferStubTest, DoesNothingAndAnswersFalse) {
  hx::testing::TestConsoleClient client;
  const auto engine = client.FileTransfer();
  ASSERT_NE(engine, nullptr);
  EXPECT_FALSE(engine->initialised());
  EXPECT_TRUE(engine->strings().empty());
  EXPECT_EQ(engine->uploadCount(), 0u);
  EXPECT_EQ(engine->downloadCount(), 0u);
  engine->Init("/tmp", {"a", "b"});
  engine->AddUpload("/tmp/x", "peer");
  engine->AddDownload("link", "/tmp");
  EXPECT_FALSE(engine->IsActive("x"));
  engine->Pause("x");
  engine->Resume("x");
  engine->Cancel("x");
  engine->SetRateLimit(1, 2);
  engine->OnNetworkChanged();
  EXPECT_FALSE(engine->initialised());
  EXPECT_TRUE(engine->strings().empty());
  EXPECT_EQ(engine->uploadCount(), 0u);
  engine->Shutdown();
}

TEST(FileTransferStubTest, BaseInitKeepsTheListButNotTheFolder) {
  StoringTransfer engine;
  engine.Init("/folder", {"one", "two"});
  EXPECT_TRUE(engine.initialised());
  EXPECT_EQ(engine.strings(), (std::vector<std::string>{"one", "two"}));
  engine.Shutdown();
  EXPECT_FALSE(engine.initialised());
  EXPECT_TRUE(engine.strings().empty());
}

TEST(FilePreviewTest, Cases) {
  const uint8_t bytes[4] = {1, 2, 3, 4};
  const struct {
    const void* data;
    size_t length;
    int32_t width;
    int32_t height;
    bool empty;
    std::vector<uint8_t> picture;
  } cases[] = {
      {nullptr, 100, 10, 10, false, std::vector<uint8_t>(100, 0)},
      {nullptr, 100, 0, 10, true, std::vector<uint8_t>(100, 0)},
      {nullptr, 100, 10, -1, true, std::vector<uint8_t>(100, 0)},
      {bytes, 4, 2, 2, false, {1, 2, 3, 4}},
      {bytes, 0, 2, 2, true, {}},
      {bytes, 2, 1, 1, false, {1, 2}},
  };
  for (const auto& c : cases) {
    const hx::FilePreview preview(c.data, c.length, c.width, c.height, "image/png");
    EXPECT_EQ(preview.mimeType, "image/png");
    EXPECT_EQ(preview.width, c.width);
    EXPECT_EQ(preview.height, c.height);
    EXPECT_EQ(preview.picture, c.picture);
    EXPECT_EQ(preview.empty(), c.empty);
  }
  const hx::FilePreview zeros(16, 4, 4, "image/jpeg");
  EXPECT_EQ(zeros.picture, std::vector<uint8_t>(16, 0));
  EXPECT_FALSE(zeros.empty());
}

}  // namespace
