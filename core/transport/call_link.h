#pragma once
// HXUriProtocol: the parser of call links such as
//   kalvenor:user?h=s1#as\h1,h2:80&login=me&password=secret
// A link names whom to call or which conference to join (the call id), on which servers (the "h"
// variable, a servers list), and with which login. Links come from outside the client (other
// applications, web pages, mail), so nothing in them is trusted: every failure is a result with an
// error code and a position inside the text (HXUriError).
//
// Schemes: 1 "brassunelo", 2 "kalvenor", 3 "dorvello", 4 any other, 0 none. A scheme is the text
// before the first ":" when it consists of scheme characters only (HXUri::SchemeSet); a link like
// "user?h=host:80" therefore has no scheme.
//
// Variables (names without regard to case; values percent-decoded):
//   autoclose, encrypt, force, templogin  yes/no ("1", "y", "yes", "true" / "0", "n", "no",
//                                         "false", any case); anything else is error 8
//   conftype   conference type 5; "hotquery" clears, "multi" sets the conference-id flag
//   d          the login domain and the servers list's domain
//   h          a servers list: [hosts ","] id "\" hosts ["," id "\" hosts]...; hosts are
//              host[:port] or [literal][:port] separated by ",", default port 4307
//   login, password
// "h" variables are applied after all others, so "d" is known when the hosts are read. An unknown
// variable is error 7; with the ignore flag it stays recorded but the parse goes on.
//
// Not thread-safe: one thread at a time. The password is overwritten before its memory is freed.

#include <cstdint>
#include <string>

#include "core/conference/conference_type.h"
#include "core/transport/domain_servers_list.h"
#include "core/transport/uri_login_params.h"
#include "core/wire/uri_error.h"
#include "core/wire/uri_escape.h"

class HXUriProtocol : public hx::transport::UriLoginParams, public HXUriError {
 public:
  enum Scheme : int {
    eSchemeNone = 0,
    eSchemeBrassunelo = 1,
    eSchemeKalvenor = 2,
    eSchemeDorvello = 3,
    eSchemeOther = 4,
  };
  static constexpr uint16_t kDefaultPort = 4307;

  explicit HXUriProtocol(bool ignoreUnknownVars = false);
  ~HXUriProtocol() override;
  // Not copied: every copy would be one more password to wipe.
  HXUriProtocol(const HXUriProtocol&) = delete;
  HXUriProtocol& operator=(const HXUriProtocol&) = delete;

  // Everything back to the state of a new parser (the ignore flag stays); the password is wiped.
  void clear();
  // Clears, then parses `text`. False with the error code and position set; parts read before
  // the failure stay set.
  bool parseUri(const std::string& text);

  void setIgnoreUnknownVars(bool ignore) { m_ignoreUnknownVars = ignore; }
  // Wipes the old password, then stores this one.
  void setPassword(const std::string& password);
  // The login domain and the servers list's domain.
  void setDomain(const std::string& domain);
  // Overwrites every character of the password with "e", then empties it.
  void clearPassword();
  // "\c\" or "\C\" in front marks a conference id: the rest is the call id, the conference-id
  // flag is set and the conference type becomes 5. Otherwise the text is the call id and the flag
  // is cleared.
  void setCallId(const std::string& callId);

  bool getAutoClose() const { return m_autoClose; }
  const std::string& getCallId() const { return m_callId; }
  HX_Conference_Type getConferenceType() const { return m_conferenceType; }
  const std::string& getPassword() const { return m_password; }
  int getScheme() const { return m_scheme; }
  const std::string& getSchemeStr() const { return m_schemeText; }
  const HX_DomainServersList& getServerList() const { return m_serversList; }
  const HXUriEscape::QueryVariables& getVarList() const { return m_variables; }
  bool callIdIsConferenceId() const { return m_callIdIsConferenceId; }

 private:
  bool applyVariable(const HXUriEscape::QueryVariable& variable);
  bool readYesNo(const HXUriEscape::QueryVariable& variable, bool& flag);
  // Reads a servers list; `offset` is where `value` lies in the link, for error positions.
  bool parseServersList(const std::string& value, size_t offset, std::string& domain);
  bool parseHostslist(HX_DomainServersList::ServerInfo& server, const std::string& value,
                      size_t from, size_t to, size_t offset, const std::string& domain);

  bool m_autoClose = false;
  std::string m_callId;
  bool m_callIdIsConferenceId = false;
  HX_Conference_Type m_conferenceType = hx::conference::kPrivateCall;
  bool m_ignoreUnknownVars = false;
  std::string m_password;
  std::string m_schemeText;
  int m_scheme = eSchemeNone;
  HX_DomainServersList m_serversList;
  HXUriEscape::QueryVariables m_variables;
};
