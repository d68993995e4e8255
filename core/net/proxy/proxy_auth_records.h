#pragma once
// What the network layer and the user interface exchange when a proxy asks for credentials: the
// kinds of credential, the events shown to the user, the challenge and response records, and
// the callback through which an answer reaches the waiting party.
//
// Records are shared between threads by pointer and not changed once posted, except that
// AuthResponseGuiUserPassword::set and wipe belong to whoever holds the record.

#include <cstdint>
#include <memory>
#include <string>

namespace hx::netproxy {

// The kind of credential a user interface can supply.
enum AuthType : uint32_t {
  authUserPassword = 0,
  authCredential = 1,  // the schemes that need a non-password credential; no record exists
};

// Events passed to the user interface about a proxy configuration.
enum GuiNotifyEvent : uint32_t {
  eventNone = 0,             // a configuration's initial last event; never reported
  eventBadCredentials = 3,   // the proxy answered 407 again to credentials it had been given
  eventSchemeWithdrawn = 4,  // a 407 no longer offers the scheme of the session
  eventUnusable = 5,         // no usable challenge or scheme; a failed or unexpected answer
  eventNoCredentials = 6,    // the user interface answered without credentials
};

// Overwrites every byte of `text` with "*" through a volatile pointer, so that the compiler
// cannot drop the stores as dead before the memory is released.
void WipeText(std::string& text);

class AuthDataExchangeGui {
 public:
  virtual ~AuthDataExchangeGui() = default;
  virtual AuthType getType() const = 0;
};

class AuthChallengeGui : public AuthDataExchangeGui {};

// Asks for a user name and password; shows the realm.
class AuthChallengeGuiUserPassword : public AuthChallengeGui {
 public:
  explicit AuthChallengeGuiUserPassword(std::string realm) : m_realm(std::move(realm)) {}
  AuthType getType() const override { return authUserPassword; }
  const std::string& realm() const { return m_realm; }

 private:
  std::string m_realm;
};

class AuthResponseGui : public AuthDataExchangeGui {
 public:
  virtual std::shared_ptr<AuthResponseGui> clone() const = 0;
  // Whether the authenticator may keep it and offer it again without asking.
  virtual bool isReusable() const = 0;
};

class AuthResponseGuiUserPassword : public AuthResponseGui {
 public:
  AuthResponseGuiUserPassword() = default;
  AuthResponseGuiUserPassword(const AuthResponseGuiUserPassword& other);
  AuthResponseGuiUserPassword& operator=(const AuthResponseGuiUserPassword&) = delete;
  // Wipes the password before its memory is released.
  ~AuthResponseGuiUserPassword() override;

  AuthType getType() const override { return authUserPassword; }
  bool isReusable() const override { return true; }
  std::shared_ptr<AuthResponseGui> clone() const override;

  // Wipes the old password, stores both and marks the record ready.
  void set(const std::string& user, const std::string& password);
  bool ready() const { return m_ready; }
  const std::string& getUser() const { return m_user; }
  const std::string& getPassword() const { return m_password; }
  void wipe() { WipeText(m_password); }

 private:
  bool m_ready = false;
  std::string m_password;
  std::string m_user;
};

class AuthCallback {
 public:
  // The answer to request `number` is ready.
  virtual void onResponseReady(uint32_t number) = 0;
  virtual ~AuthCallback() = default;
};

}  // namespace hx::netproxy
