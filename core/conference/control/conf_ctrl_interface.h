#pragma once
// conference::HX_ConfCtrlInterface: the device-control interface a conference hands the
// device-control messages to once one is installed. The device-control work defines its methods.

class HX_Container;

namespace conference {

class HX_ConfCtrlInterface {
 public:
  virtual ~HX_ConfCtrlInterface() = default;
  // Handles one device-control message; false when it was not one for this interface.
  virtual bool parseConfCtrlMethods(const HX_Container& message) = 0;
};

}  // namespace conference
