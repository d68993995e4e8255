#pragma once
// HXFSMShared: the client's shared state object, as far as the transport
// session needs it so far: the presence store it inherits (HX_StatusStorage),
// the signal the session data emits when the server or user property set
// changes, and the process-wide environment with the working folder. The client
// application object owns one and hands its plain pointer to the session data
// and to every manager; the rest of it grows with the client core.
//
// Thread safety: the environment is guarded by its own lock; the signal follows
// hx::Signal's rules (connect before emissions start, never disconnect during
// one).

#include <cstddef>
#include <memory>
#include <string>

#include "core/base/lock.h"
#include "core/base/signal.h"
#include "core/contacts/status_storage.h"

class HX_SettingsDB;

class HXFSMShared : public HX_StatusStorage {
 public:
  // The process-wide environment: application and working folders. Created
  // empty on first use and never destroyed.
  class HXEnvironment {
   public:
    void SetAppDir(const std::string &dir);
    std::string GetAppDir() const;
    // Stores the folder and appends "/" when it is not empty and does not end
    // in one.
    void SetWorkingDir(const std::string &dir);
    // The working folder, ending in "/" unless it is empty. A copy: another
    // thread may set it.
    std::string getWorkingDirStr() const;

   private:
    mutable HXLock m_lock;
    std::string m_appDir;
    std::string m_workingDir;
  };

  // Opens the settings database in the environment's working folder, which must
  // be set first.
  HXFSMShared();
  ~HXFSMShared() override;

  static HXEnvironment *Env();

  // Settings parameters, each under the object's lock. LoadParam reads at most
  // `length` bytes of the stored value into `buffer`; true when the setting
  // exists.
  bool LoadParam(const char *name, void *buffer, size_t length);
  void SaveParam(const char *name, const void *data, size_t length);
  void RemoveParam(const char *name);
  // The settings database (never null; it may have failed to open, then reads
  // find nothing).
  std::shared_ptr<HX_SettingsDB> SettingsDB() const { return m_settings; }

  // Emitted by the transport session data after every replacement or clearing
  // of the server or user property set, on the thread that changed it.
  hx::Signal0<void> propertiesUpdated;

 protected:
  // The object's lock: recursive, guards the state change, the strings and the
  // settings calls.
  mutable HXLock m_lock;

 private:
  std::shared_ptr<HX_SettingsDB> m_settings;
};
