#include "core/transport/call_link.h"

#include <map>

#include "core/wire/server_names.h"
#include "core/wire/uri_host.h"

namespace {

enum Keyword {
  kAutoClose = 0,
  kConfType = 1,
  kDomain = 2,
  kEncrypt = 3,
  kForce = 4,
  kHosts = 5,
  kLogin = 6,
  kPassword = 7,
  kTempLogin = 8,
};

const std::map<std::string, Keyword>& keywords() {
  static const std::map<std::string, Keyword> table = {
      {"autoclose", kAutoClose}, {"conftype", kConfType}, {"d", kDomain},
      {"encrypt", kEncrypt},     {"force", kForce},       {"h", kHosts},
      {"login", kLogin},         {"password", kPassword}, {"templogin", kTempLogin},
  };
  return table;
}

// Overwrites the text's bytes through a volatile pointer, which the compiler may not drop even
// though the text is emptied right after.
void wipe(std::string& text) {
  volatile char* bytes = text.data();
  for (size_t i = 0; i < text.size(); ++i) bytes[i] = 'e';
  text.clear();
}

// Where a variable's value is, or the end of its name when it has none.
size_t valuePosition(const HXUriEscape::QueryVariable& variable) {
  return variable.valuePos != 0 ? variable.valuePos : variable.namePos + variable.name.size();
}

bool isSchemeText(const std::string& text) {
  size_t bad = 0;
  return HXUri::checkScheme(text, bad);
}

}  // namespace

HXUriProtocol::HXUriProtocol(bool ignoreUnknownVars) : m_ignoreUnknownVars(ignoreUnknownVars) {}

HXUriProtocol::~HXUriProtocol() { clearPassword(); }

void HXUriProtocol::clear() {
  clearPassword();
  clearUriError();
  m_scheme = eSchemeNone;
  m_autoClose = false;
  m_callIdIsConferenceId = false;
  m_conferenceType = hx::conference::kPrivateCall;
  m_schemeText.clear();
  m_callId.clear();
  m_serversList.clear();
  m_variables.clear();
  UriLoginParams::clear();
}

void HXUriProtocol::clearPassword() { wipe(m_password); }

void HXUriProtocol::setPassword(const std::string& password) {
  clearPassword();
  m_password = password;
}

void HXUriProtocol::setDomain(const std::string& domain) {
  UriLoginParams::setDomain(domain);
  m_serversList.setDomain(domain);
}

void HXUriProtocol::setCallId(const std::string& callId) {
  if (callId.size() >= 3 && callId[0] == '\\' && (callId[1] == 'c' || callId[1] == 'C') &&
      callId[2] == '\\') {
    m_callId = callId.substr(3);
    m_callIdIsConferenceId = true;
    m_conferenceType = hx::conference::kGroupConference;
  } else {
    m_callId = callId;
    m_callIdIsConferenceId = false;
  }
}

bool HXUriProtocol::parseUri(const std::string& text) {
  clear();
  size_t position = 0;
  const size_t scheme_length = HXUri::getSchemeLen(text);
  // Only scheme characters before the ":" make a scheme; "user?h=host:80" has none.
  if (scheme_length > 0 && isSchemeText(text.substr(0, scheme_length))) {
    m_schemeText = HXUri::toLower(text.substr(0, scheme_length));
    if (m_schemeText == "kalvenor") {
      m_scheme = eSchemeKalvenor;
    } else if (m_schemeText == "dorvello") {
      m_scheme = eSchemeDorvello;
    } else if (m_schemeText == "brassunelo") {
      m_scheme = eSchemeBrassunelo;
    } else {
      m_scheme = eSchemeOther;
    }
    position = scheme_length + 1;
    if (text.compare(position, 2, "//") == 0) position += 2;
  }

  size_t call_id_end = text.find_first_of("&?", position);
  if (call_id_end == std::string::npos) call_id_end = text.size();
  size_t variables_from = position;
  const size_t equals = text.find('=', position);
  if (call_id_end > position && equals >= call_id_end) {
    std::string call_id;
    HXUriEscape::unescapePct(text.substr(position, call_id_end - position), call_id);
    setCallId(call_id);
    variables_from = call_id_end;
  }
  if (variables_from >= text.size()) return true;

  std::string rest = text;
  for (size_t i = variables_from; i < rest.size(); ++i) {
    if (rest[i] == '?') rest[i] = '&';
  }
  HXUriEscape::UriVarsParser(rest, m_variables, variables_from);
  for (auto& variable : m_variables) {
    std::string decoded;
    HXUriEscape::unescapePct(variable.value, decoded);
    wipe(variable.value);
    variable.value = std::move(decoded);
  }
  auto isHosts = [](const HXUriEscape::QueryVariable& v) { return v.name == "h" || v.name == "H"; };
  for (const auto& variable : m_variables) {
    if (!isHosts(variable) && !applyVariable(variable)) return false;
  }
  for (const auto& variable : m_variables) {
    if (isHosts(variable) && !applyVariable(variable)) return false;
  }
  return true;
}

bool HXUriProtocol::readYesNo(const HXUriEscape::QueryVariable& variable, bool& flag) {
  if (variable.valuePos == 0) {
    setUriError(eBadVarValue, valuePosition(variable));
    return false;
  }
  const std::string value = HXUri::toLower(variable.value);
  if (value == "1" || value == "y" || value == "yes" || value == "true") {
    flag = true;
    return true;
  }
  if (value == "0" || value == "n" || value == "no" || value == "false") {
    flag = false;
    return true;
  }
  setUriError(eBadVarValue, variable.valuePos);
  return false;
}

bool HXUriProtocol::applyVariable(const HXUriEscape::QueryVariable& variable) {
  const auto found = keywords().find(HXUri::toLower(variable.name));
  if (found == keywords().end()) {
    setUriError(eUnknownVar, variable.namePos);
    return m_ignoreUnknownVars;
  }
  bool flag = false;
  switch (found->second) {
    case kAutoClose:
      if (!readYesNo(variable, flag)) return false;
      m_autoClose = flag;
      return true;
    case kConfType:
      if (variable.value == "hotquery") {
        m_callIdIsConferenceId = false;
      } else if (variable.value == "multi") {
        m_callIdIsConferenceId = true;
      } else {
        setUriError(eBadVarValue, valuePosition(variable));
        return false;
      }
      m_conferenceType = hx::conference::kGroupConference;
      return true;
    case kDomain:
      setDomain(variable.value);
      return true;
    case kEncrypt:
      if (!readYesNo(variable, flag)) return false;
      setEncryptPassword(flag);
      return true;
    case kForce:
      if (!readYesNo(variable, flag)) return false;
      setForce(flag);
      return true;
    case kHosts: {
      std::string domain = m_serversList.getDomain();
      return parseServersList(variable.value, valuePosition(variable), domain);
    }
    case kLogin:
      setLogin(variable.value);
      return true;
    case kPassword:
      setPassword(variable.value);
      return true;
    case kTempLogin:
      if (!readYesNo(variable, flag)) return false;
      setTempLogin(flag);
      return true;
  }
  return false;
}

bool HXUriProtocol::parseServersList(const std::string& value, size_t offset, std::string& domain) {
  if (value.empty()) return true;
  // Servers are read into a list of their own and appended only when the whole value is good.
  HX_DomainServersList read;
  size_t backslash = value.find('\\');
  if (backslash == std::string::npos) {
    if (!parseHostslist(read.add(std::string()), value, 0, value.size(), offset, domain)) {
      return false;
    }
  } else {
    size_t id_begin = 0;
    const size_t comma = value.rfind(',', backslash);
    if (comma != std::string::npos) {
      if (!parseHostslist(read.add(std::string()), value, 0, comma, offset, domain)) return false;
      id_begin = comma + 1;
    }
    while (true) {
      const std::string id = value.substr(id_begin, backslash - id_begin);
      if (id.empty()) {
        setUriError(eBadServersList, offset + id_begin);
        return false;
      }
      domain = hx::servers::Names::getDomainFromServerId(id);
      const size_t hosts_begin = backslash + 1;
      const size_t next = value.find('\\', hosts_begin);
      size_t hosts_end = value.size();
      if (next != std::string::npos) {
        const size_t last_comma = value.rfind(',', next);
        if (last_comma == std::string::npos || last_comma < hosts_begin) {
          setUriError(eBadServersList, offset + next);
          return false;
        }
        hosts_end = last_comma;
      }
      if (!parseHostslist(read.add(id), value, hosts_begin, hosts_end, offset, domain)) {
        return false;
      }
      if (next == std::string::npos) break;
      id_begin = hosts_end + 1;
      backslash = next;
    }
  }
  auto& servers = m_serversList.getServers();
  servers.splice(servers.end(), read.getServers());
  return true;
}

bool HXUriProtocol::parseHostslist(HX_DomainServersList::ServerInfo& server,
                                   const std::string& value, size_t from, size_t to, size_t offset,
                                   const std::string& domain) {
  size_t begin = from;
  while (begin <= to) {
    size_t end = value.find(',', begin);
    if (end == std::string::npos || end > to) end = to;
    if (end > begin) {
      const std::string entry = value.substr(begin, end - begin);
      std::string host;
      uint16_t port = kDefaultPort;
      HXUriError error;
      if (!HXUri::parseHost(entry, 0, host, port, &error)) {
        setUriError(error.error(), offset + begin + error.errorPos());
        return false;
      }
      bool known = false;
      for (const auto& present : server.hosts) {
        if (present.getHost() == host && present.getPort() == port) known = true;
      }
      if (!known) {
        server.hosts.addHost(
            HXServerEndpoint(host, 0, domain, server.serverId, port, hx::servers::MAXTIME));
      }
    }
    begin = end + 1;
  }
  if (server.hosts.empty()) {
    setUriError(eBadServersList, offset + from);
    return false;
  }
  return true;
}
