#include "core/net/socket/socket_helper.h"

HXZASocketHelper::~HXZASocketHelper() = default;

HXZASocketHelper* HXZASocketHelper::addRef() {
  m_refCount.fetch_add(1, std::memory_order_relaxed);
  return this;
}

int32_t HXZASocketHelper::removeRef() {
  // Release ordering so that the thread that deletes sees every write made through the helper.
  return m_refCount.fetch_sub(1, std::memory_order_acq_rel) - 1;
}

void HXZASocketHelper::release(HXZASocketHelper* helper) {
  if (helper != nullptr && helper->removeRef() < 1) delete helper;
}

bool HXZASocketHelper::SetImp(HXZASocket*, HXZADataHandler*) { return false; }

bool HXZASocketHelper::DeleteImp(HXZASocket*, HXZADataHandler*) { return false; }
