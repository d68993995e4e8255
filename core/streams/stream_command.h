#pragma once
// Stream control commands: small records that travel inside a media stream on track 254 next to
// its audio, video and data (key-frame requests, bit-rate limits, media-format announcements,
// receiver statistics, resend requests, time-delay probes, pings).
//
// HX_MiscCommand is the record and its wire form, 254 bytes, the same in memory and on the wire:
//   0 command code | 1 mode (1 request, 2 reply, 4 information) | 2 result | 3 data length (0-250)
//   4.. 250 data bytes
// Only the first 4 + data length bytes are sent (CommandSize). Integer payloads are little-endian
// u32; a media-format payload is the 44-byte HX_MediaFormat record.
//
// Commands come from peers: every reader stores a data length of at most 250 and never more than
// the bytes it was given, so that CommandSize never exceeds the record.
//
// HX_MiscData is the same record as kept in lists. HX_CmndProc keeps received commands and
// commands waiting to be sent, both in arrival order; HX_MiscCommandProcess lets a frame queue
// hand commands to such a processor.
//
// Thread safety: plain values and lists without locks of their own; the owning stream serialises
// every call (its stream lock).

#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>

struct HX_MediaFormat;
struct HX_StreamFrameHead;

enum HX_MiscCommandCode : uint8_t {
  HX_Cmd_RequestKeyFrame = 1,
  HX_Cmd_RestrictBitrate = 2,
  HX_Cmd_SetFpsVsQ = 3,
  HX_Cmd_ChangeSndMFormat = 4,
  HX_Cmd_RcvMFormat = 5,
  HX_Cmd_Stat = 6,
  HX_Cmd_RequestPacket = 7,
  HX_Cmd_TimeDelay = 8,
  HX_Cmd_Ping = 9,
  HX_Cmd_BrokerStat = 10,
};

enum HX_MiscCommandMode : uint8_t {
  HX_CmdMode_Request = 1,
  HX_CmdMode_Reply = 2,
  HX_CmdMode_Info = 4,
};

inline constexpr size_t HX_MiscCommandHeadSize = 4;
inline constexpr size_t HX_MiscCommandMaxData = 250;
inline constexpr size_t HX_MiscCommandRecordSize = HX_MiscCommandHeadSize + HX_MiscCommandMaxData;

struct HX_MiscData;

struct HX_MiscCommand {
  uint8_t code = 0;
  uint8_t mode = 0;
  uint8_t result = 0;
  uint8_t length = 0;
  uint8_t data[HX_MiscCommandMaxData] = {};

  // All 254 bytes zero.
  HX_MiscCommand() = default;
  // Zero, then code, mode, result, length = min(length, 250) and that many data bytes.
  HX_MiscCommand(const HX_MiscCommand& other);
  explicit HX_MiscCommand(const HX_MiscData& other);
  // Zero; when `bytes` is not null and size is at least 4, the first min(size, 254) bytes, with
  // length = min(length byte, 250, size - 4) and zero data past it. Otherwise all zero.
  HX_MiscCommand(const void* bytes, size_t size);
  // Zero; when `head` is not null and its payload length is 4 to 254, the payload that follows the
  // 8-byte head (the caller holds that many bytes behind it) read as above. Otherwise all zero.
  explicit HX_MiscCommand(const HX_StreamFrameHead* head);

  // Code, mode, result, clamped length and that many data bytes; the rest stays as it was.
  HX_MiscCommand& operator=(const HX_MiscCommand& other);
  HX_MiscCommand& operator=(const HX_MiscData& other);

  // The bytes that go on the wire: 4 + data length (at most 254).
  size_t CommandSize() const;
  // The data length as stored, never above 250.
  size_t DataLength() const;
  // The little-endian u32 at data offset `offset`; 0 when the data length does not cover it.
  uint32_t DataU32(size_t offset = 0) const;
  const uint8_t* Bytes() const { return &code; }

  // Builders: set code and mode and, where they take a value, the length and the payload; the
  // others leave length and data as they are (a fresh command then carries none).
  void RequestKeyFrame();
  void RestrictBitrate(uint32_t value);
  void SetFpsVsQ(uint32_t value);
  void ChangeSndMFormat(const HX_MediaFormat& format);
  void ChangeRcvMFormat(const HX_MediaFormat& format);
  void InfoRcvMFormat(const HX_MediaFormat& format);
  // Length min(n, 250) and the first bytes; a null `bytes` carries length 0.
  void Stat(const void* bytes, size_t n);
  void RequestPacket(const void* bytes, size_t n);
  void TimeDelay(uint32_t value);
  void Ping();
  void BrokerStat(const void* bytes, size_t n);
  // Turns the command into its reply: mode 2 and the result, everything else kept.
  void Reply(uint8_t result);

 private:
  void SetU32(uint8_t code_value, uint8_t mode_value, uint32_t value);
  void SetBytes(uint8_t code_value, uint8_t mode_value, const void* bytes, size_t n);
  void SetFormat(uint8_t code_value, uint8_t mode_value, const HX_MediaFormat& format);
  void CopyFields(uint8_t c, uint8_t m, uint8_t r, uint8_t l, const uint8_t* d);
};
static_assert(sizeof(HX_MiscCommand) == HX_MiscCommandRecordSize);

// The record as kept in the command lists.
struct HX_MiscData {
  uint8_t code = 0;
  uint8_t mode = 0;
  uint8_t result = 0;
  uint8_t length = 0;
  uint8_t data[HX_MiscCommandMaxData] = {};

  HX_MiscData() = default;
  HX_MiscData(const HX_MiscData& other);
  explicit HX_MiscData(const HX_MiscCommand& other);
  HX_MiscData(HX_MiscData&& other) noexcept;
  HX_MiscData& operator=(const HX_MiscData& other);
  HX_MiscData& operator=(HX_MiscData&& other) noexcept;
  // All zero.
  void Clear();
};
static_assert(sizeof(HX_MiscData) == HX_MiscCommandRecordSize);

// Keeps the commands a stream received and those it is to send, each list in arrival order.
class HX_CmndProc {
 public:
  virtual ~HX_CmndProc() = default;
  // Takes a command: to send (true) or received (false). Subclasses decide; most call
  // addCommandInt.
  virtual bool AddCommand(const HX_MiscCommand& command, bool to_send) = 0;

  // Appends the command to the to-send list (to_send) or to the received list.
  void addCommandInt(const HX_MiscCommand& command, bool to_send);
  // False when no command was received; otherwise fills the whole out record with the oldest one
  // (zero past its data length) and, when `remove` is true, takes it off the list.
  bool ReadRcvCommand(HX_MiscCommand& out, bool remove);
  // False when nothing waits to be sent; otherwise the oldest, taken off the list.
  bool PopSndCommand(HX_MiscCommand& out);

  size_t ReceivedCount() const { return m_received.size(); }
  size_t ToSendCount() const { return m_toSend.size(); }

 protected:
  std::list<HX_MiscData> m_received;
  std::list<HX_MiscData> m_toSend;
};

// What a frame queue or control band uses to hand commands to the stream's command processor.
class HX_MiscCommandProcess {
 public:
  virtual ~HX_MiscCommandProcess() = default;
  // A command addressed to this queue. Returns the code it acted on, 0 when it ignored it.
  virtual int SetReceivedCommand(const HX_MiscCommand& command) = 0;

  void setCmndProc(std::shared_ptr<HX_CmndProc> processor) { m_cmndProc = std::move(processor); }
  // Hands the command to the processor to be sent; false when no processor is set.
  bool CommandToSend(const HX_MiscCommand& command);

 protected:
  std::shared_ptr<HX_CmndProc> m_cmndProc;
};
