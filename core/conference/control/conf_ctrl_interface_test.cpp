// The device-control records and the parser of conference::HX_ConfCtrlInterface: the type texts,
// each of the six methods read into the values its handler gets (a recording interface writes
// every call as one line), the device-list walk over stray, missing and misplaced entries, and a
// conference that hands a message on only while an interface is installed.
#include "core/conference/control/conf_ctrl_interface.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/base/container.h"
#include "core/conference/control/recording_conf_ctrl.h"
#include "core/conference/model/conference.h"

namespace {

using conference::DeviceChangeDesc;
using conference::DeviceConfig;
using conference::DeviceConfigList;
using hx::testing::RecordingCtrl;

// Builds a body entry by entry, in order.
struct Entry {
  enum Kind { kText, kInt, kBool, kBinary } kind;
  const char* name;
  const char* text = "";
  int32_t number = 0;
};
Entry T(const char* name, const char* text) { return {Entry::kText, name, text, 0}; }
Entry I(const char* name, int32_t number) { return {Entry::kInt, name, "", number}; }
Entry B(const char* name, bool value) { return {Entry::kBool, name, "", value ? 1 : 0}; }
Entry Bin(const char* name) { return {Entry::kBinary, name, "xyz", 0}; }

HX_Container Body(const std::vector<Entry>& entries) {
  HX_Container body;
  for (const Entry& e : entries) {
    switch (e.kind) {
      case Entry::kText:
        body.AddValue(e.name, e.text);
        break;
      case Entry::kInt:
        body.AddValue(e.name, e.number);
        break;
      case Entry::kBool:
        body.AddValue(e.name, e.number != 0);
        break;
      case Entry::kBinary:
        body.AddValue(e.name, HX_CNT_BINARY_VT, e.text, 3);
        break;
    }
  }
  return body;
}

TEST(DeviceConfig, TypeTextsBothWays) {
  const struct {
    DeviceConfig::DeviceType type;
    const char* text;
  } known[] = {{0, "microphone"}, {1, "speaker"}, {2, "camera"}, {3, "desktop"}};
  for (const auto& row : known) {
    EXPECT_STREQ(DeviceConfig::getTypeStr(row.type), row.text);
    EXPECT_EQ(DeviceConfig::typeFromStr(row.text), row.type);
  }
  for (DeviceConfig::DeviceType type : {4, 100, -1, INT32_MIN, INT32_MAX}) {
    EXPECT_STREQ(DeviceConfig::getTypeStr(type), "") << type;
  }
  for (const char* text : {"Camera", "CAMERA", "camera ", " camera", "", "cam", "desktops"}) {
    EXPECT_EQ(DeviceConfig::typeFromStr(text), -1) << text;
  }
  EXPECT_EQ(DeviceConfig::typeFromStr(nullptr), -1);
}

struct ParseCase {
  const char* what;
  std::vector<Entry> body;
  std::vector<std::string> calls;  // empty: no handler is called and the parse answers false
};

TEST(ConfCtrlInterface, EachMethodReachesItsHandlerWithTheParsedValues) {
  const std::vector<ParseCase> cases = {
      {"change device",
       {T("Method", "ChangeDevice"), T("Conference", "room@srv"), T("UserName", "me"),
        T("Type", "camera"), T("id", "cam-1"), T("Name", "Front"), I("Cause", 4)},
       {"ChangeDevice cam-1 2 4"}},
      {"change device: capital type, no cause, no id",
       {T("Method", "ChangeDevice"), T("Type", "Camera")},
       {"ChangeDevice  -1 0"}},
      {"change device: type of another kind",
       {T("Method", "ChangeDevice"), I("Type", 2)},
       {"ChangeDevice  -1 0"}},
      {"set state: both",
       {T("Method", "SetDeviceState"), T("id", "mic"), I("Volume", 70), B("Mute", true),
        I("Cause", 4)},
       {"SetDeviceState mic flags=3 volume=70 mute=1 cause=4"}},
      {"set state: only mute",
       {T("Method", "SetDeviceState"), T("id", "mic"), B("Mute", false)},
       {"SetDeviceState mic flags=2 mute=0 cause=0"}},
      {"set state: only volume",
       {T("Method", "SetDeviceState"), T("id", "mic"), I("Volume", 0)},
       {"SetDeviceState mic flags=1 volume=0 cause=0"}},
      {"set state: values of another type",
       {T("Method", "SetDeviceState"), T("id", "mic"), T("Volume", "70"), I("Mute", 1)},
       {"SetDeviceState mic flags=0 cause=0"}},
      {"query: result defaults to 2",
       {T("Method", "QueryDevices"), T("UserName", "bob")},
       {"QueryDevices bob 2"}},
      {"query: result given",
       {T("Method", "QueryDevices"), T("UserName", "bob"), I("Result", 1)},
       {"QueryDevices bob 1"}},
      {"device changed",
       {T("Method", "DeviceChanged"), T("UserName", "bob"), T("id", "spk"), T("Type", "speaker"),
        T("Name", "S"), I("Cause", 9)},
       {"DeviceChanged bob spk 9"}},
      {"device changed: empty", {T("Method", "DeviceChanged")}, {"DeviceChanged   0"}},
      {"device state: neither volume nor mute",
       {T("Method", "DeviceState"), T("UserName", "bob"), T("Type", "desktop"), T("id", "d1"),
        T("Name", "ignored")},
       {"DeviceState bob 3/d1/ flags=0 cause=0"}},
      {"device state: both",
       {T("Method", "DeviceState"), T("UserName", "bob"), T("Type", "microphone"), T("id", "m"),
        I("Volume", -5), B("Mute", true), I("Cause", 2)},
       {"DeviceState bob 0/m/ flags=3 volume=-5 mute=1 cause=2"}},
      {"device state: only volume, unknown type",
       {T("Method", "DeviceState"), T("Type", "mic"), I("Volume", 3)},
       {"DeviceState  -1// flags=1 volume=3 cause=0"}},
      {"unknown method", {T("Method", "changedevice"), T("id", "x")}, {}},
      {"method of another type", {I("Method", 1)}, {}},
      {"no method", {T("id", "x")}, {}},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.what);
    RecordingCtrl ctrl;
    EXPECT_EQ(ctrl.parseConfCtrlMethods(Body(c.body)), !c.calls.empty());
    EXPECT_EQ(ctrl.calls, c.calls);
  }
}

TEST(ConfCtrlInterface, DevicesListWalksGroupsInOrder) {
  const auto head = [](std::vector<Entry> rest) {
    std::vector<Entry> body = {T("Method", "DevicesList"), T("Conference", "room@srv"),
                               T("UserName", "bob")};
    body.insert(body.end(), rest.begin(), rest.end());
    return body;
  };
  const std::vector<ParseCase> cases = {
      {"two groups",
       head({T("Type", "camera"), T("id", "a"), T("Name", "A"), T("id", "b"), T("Name", "B"),
             T("Type", "microphone"), T("id", "c"), T("Name", "C")}),
       {"DevicesList bob: 2/a/A 2/b/B 0/c/C"}},
      {"an id without a name adds nothing and ends the group",
       head({T("Type", "camera"), T("id", "a"), T("id", "b"), T("Name", "B")}),
       {"DevicesList bob:"}},
      {"a lone id before a type: the type starts the next group",
       head(
           {T("Type", "camera"), T("id", "a"), T("Type", "speaker"), T("id", "s"), T("Name", "S")}),
       {"DevicesList bob: 1/s/S"}},
      {"a lone id at the end",
       head({T("Type", "desktop"), T("id", "d"), T("Name", "D"), T("id", "e")}),
       {"DevicesList bob: 3/d/D"}},
      {"a stray entry ends the group",
       head({T("Type", "camera"), T("id", "a"), T("Name", "A"), I("Volume", 3), T("id", "b"),
             T("Name", "B")}),
       {"DevicesList bob: 2/a/A"}},
      {"entries before the first type are skipped",
       head({T("id", "x"), T("Name", "X"), T("Type", "speaker"), T("id", "s"), T("Name", "S")}),
       {"DevicesList bob: 1/s/S"}},
      {"unknown and mistyped type texts give -1",
       head({T("Type", "Camera"), T("id", "a"), T("Name", "A"), I("Type", 2), T("id", "b"),
             T("Name", "B")}),
       {"DevicesList bob: -1/a/A -1/b/B"}},
      {"values of another type read as empty",
       head({T("Type", "camera"), I("id", 5), Bin("Name")}),
       {"DevicesList bob: 2//"}},
      {"names compare exactly",
       head({T("Type", "camera"), T("ID", "a"), T("Name", "A"), T("type", "speaker"), T("id", "b"),
             T("Name", "B")}),
       {"DevicesList bob:"}},
      {"empty list", head({}), {"DevicesList bob:"}},
      {"no user",
       {T("Method", "DevicesList"), T("Type", "camera"), T("id", "a"), T("Name", "A")},
       {"DevicesList : 2/a/A"}},
  };
  for (const ParseCase& c : cases) {
    SCOPED_TRACE(c.what);
    RecordingCtrl ctrl;
    EXPECT_TRUE(ctrl.parseConfCtrlMethods(Body(c.body)));
    EXPECT_EQ(ctrl.calls, c.calls);
  }
}

TEST(ConfCtrlInterface, KeepsItsConference) {
  RecordingCtrl ctrl;
  EXPECT_EQ(ctrl.conference(), "room@srv#x");
}

TEST(ConfCtrlInterface, ConferenceHandsMessagesOnOnlyWithAnInterface) {
  auto conf = std::make_shared<HX_Conference>(nullptr, 1, conference::DefaultParams());
  const HX_Container message = Body({T("Method", "QueryDevices"), T("UserName", "bob")});
  EXPECT_FALSE(conf->parseConfCtrlMethods(message));

  auto ctrl = std::make_shared<RecordingCtrl>();
  conf->setConfCtrlInterface(ctrl);
  EXPECT_TRUE(conf->parseConfCtrlMethods(message));
  EXPECT_FALSE(conf->parseConfCtrlMethods(Body({T("Method", "FECC")})));
  EXPECT_EQ(ctrl->calls, std::vector<std::string>({"QueryDevices bob 2"}));

  conf->setConfCtrlInterface(nullptr);
  EXPECT_FALSE(conf->parseConfCtrlMethods(message));
  EXPECT_EQ(ctrl->calls.size(), 1u);
}

}  // namespace
