#include "core/net/loop/endpoint_holder.h"

HXZAEndpointHolder::Handler::~Handler() = default;

HXZAEndpointHolder::~HXZAEndpointHolder() = default;

int HXZAEndpointHolder::getCount() const { return 1; }

HXSockAddr HXZAEndpointHolder::getSockAddr() const { return HXSockAddr(); }

bool HXZAEndpointHolder::getSockAddrList(std::vector<HXSockAddr>*) const { return false; }

bool HXZAEndpointHolder::isMulti() const { return false; }

HXSockAddr HXZAEndpointHolder::next() { return getSockAddr(); }

bool HXZAEndpointHolder::notifyOnResolv(Handler*) { return false; }

void HXZAEndpointHolder::notifyOnResolvRemoveIf(Handler*) {}

void HXZAEndpointHolder::rewind() {}

int32_t HXZAEndpointHolder::state() const { return stateResolved; }
