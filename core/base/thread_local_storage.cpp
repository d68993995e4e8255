#include "core/base/thread_local_storage.h"

#include "core/base/ios_log.h"

namespace {

// Runs when a thread ends with a store still attached (a thread that is not one of the core's
// thread objects and asked for a store), so that the store is not lost.
void DeleteStoreOfEndingThread(void* store) { delete static_cast<HXTLSBase*>(store); }

}  // namespace

HXTLS::HXTLS() {
  const int error = pthread_key_create(&m_key, DeleteStoreOfEndingThread);
  m_err = error;
  m_keyCreated = error == 0;
  if (!m_keyCreated) ios_log("FAILED: HXTLS key create %d %d", error, static_cast<int>(m_key));
}

HXTLS::~HXTLS() {
  if (m_keyCreated) pthread_key_delete(m_key);
}

HXTLSBase* HXTLS::TLSInit() {
  auto* store = new HXTLSBase();
  const int error = m_keyCreated ? pthread_setspecific(m_key, store) : m_err.load();
  m_err = error;
  if (error != 0) ios_log("FAILED: HXTLS::Init key set %d %d", error, static_cast<int>(m_key));
  return store;
}

void HXTLS::TLSFree() {
  HXTLSBase* store = TLSGet();
  if (store == nullptr) return;
  m_err = pthread_setspecific(m_key, nullptr);
  delete store;
}

HXTLSBase* HXTLS::TLSGet() {
  if (!m_keyCreated) return nullptr;
  return static_cast<HXTLSBase*>(pthread_getspecific(m_key));
}
