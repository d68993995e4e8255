#include "core/net/socket/socket_helper_null.h"

#include "core/net/socket/socket_data_handler.h"

std::unique_ptr<HXZADataHandler> HXZASocketNullHelper::AcceptImp(HXZADataHandler*) {
  return nullptr;
}

size_t HXZASocketNullHelper::SendImp(const void*, size_t length, int, HXZADataHandler*) {
  return length;
}

size_t HXZASocketNullHelper::RecvImp(void*, size_t length, int, HXZADataHandler*) {
  return length;
}

size_t HXZASocketNullHelper::RecvFromImp(void*, size_t, int, HXZADataHandler*, HXSockAddr*) {
  return 0;
}

size_t HXZASocketNullHelper::SendToImp(const void*, size_t length, const HXSockAddr&, int,
                                       HXZADataHandler*) {
  return length;
}

bool HXZASocketNullHelper::ConnectImp(const std::shared_ptr<HXZAEndpointHolder>&,
                                      HXZADataHandler*) {
  return true;
}

bool HXZASocketNullHelper::BindImp(HXZAEndpointHolder*, HXZADataHandler*) { return true; }

bool HXZASocketNullHelper::CloseImp(HXZADataHandler*) { return true; }

int64_t HXZASocketNullHelper::Ioctl_0(int, HXZADataHandler*) { return 0; }

int64_t HXZASocketNullHelper::Ioctl_1(int, HXZADataHandler*, intptr_t) { return 0; }

int64_t HXZASocketNullHelper::Ioctl_2(int, HXZADataHandler*, intptr_t, intptr_t) { return 0; }

int64_t HXZASocketNullHelper::Ioctl_3(int, HXZADataHandler*, intptr_t, intptr_t, intptr_t) {
  return 0;
}

bool HXZASocketNullHelper::SetImp(HXZASocket*, HXZADataHandler*) { return true; }

bool HXZASocketNullHelper::DeleteImp(HXZASocket*, HXZADataHandler*) { return true; }

bool HXZASocketNullHelper::SendAsync(HXZASocket*, HXZADataHandler*, bool) { return false; }

bool HXZASocketNullHelper::ConnectAsync(const std::shared_ptr<HXZAEndpointHolder>&, HXZASocket*,
                                        HXZADataHandler*) {
  return true;
}

bool HXZASocketNullHelper::ReBindAsync(const std::shared_ptr<HXZAEndpointHolder>&, HXZASocket*,
                                       HXZADataHandler*) {
  return true;
}

bool HXZASocketNullHelper::CloseAsync(HXZASocket*, HXZADataHandler*, bool) { return true; }

bool HXZASocketNullHelper::StartTimerImp(HXZASocket*, HXZADataHandler*, uint32_t, uint32_t) {
  return true;
}

bool HXZASocketNullHelper::StopTimerImp(HXZASocket*, HXZADataHandler*, uint32_t) { return true; }

HXZADataHandler* HXZASocketNullHelper::Clone(HXZADataHandler* handler) { return handler; }
