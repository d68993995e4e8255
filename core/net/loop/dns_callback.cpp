#include "core/net/loop/dns_callback.h"

#include "core/net/loop/zserver.h"

HXDnsCallbackBase::~HXDnsCallbackBase() = default;

bool HXDnsCallbackBase::AsyncQuerySupported() { return true; }

void HXDnsCallbackBase::OnCallbackQueryA(const char*, const char*) {}

void HXDnsCallbackBase::OnCallbackQueryA(const std::string&, const std::vector<std::string>&) {}

void HXDnsCallbackBase::OnCallbackQuerySRV(const std::string&, const HXServerEpSetByTarget&) {}

HXDnsCallback::~HXDnsCallback() { revokeAnswers(); }

void HXDnsCallback::revokeAnswers() { HXZServer::revokeDNSCallback(this); }
