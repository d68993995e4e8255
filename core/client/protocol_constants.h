#pragma once
// The named protocol constants of the server protocol: every service name, method name and
// parameter key is an exported constant whose value is the wire text. Managers refer to these,
// never to literal copies. Each service adds its own methods and keys beside its manager.

// Generic keys of every service.
extern const char* const METHOD_PARAM;  // "Method"
extern const char* const RESULT_PARAM;  // "Result"

// Services of the client (the registered name is the value).
extern const char* const AUTH_SRV;           // "AUTH"
extern const char* const CONFIGURATION_SRV;  // "NET_CONFIG"
extern const char* const CLIENT_SRV;         // "CLIENT"
extern const char* const CONFERENCE_SRV;     // "CONFERENCE"
extern const char* const DS_CONTROL_SRV;     // "DS_CONTROL"
extern const char* const ADDRESSBOOK_SRV;    // "ABOOK"
extern const char* const PRESENCE_SRV;       // "PRESENCE"
extern const char* const CHAT_SRV;           // "CHAT"
extern const char* const CHATV2_SRV;         // "CHATV2"
extern const char* const TORRENT_SRV;        // "TORRENT"
extern const char* const LOG_SRV;            // "LOG": a destination only, no manager

// Login service "AUTH": methods.
extern const char* const LOGINUSER_METHOD;             // "LoginUser"
extern const char* const LOGOUTUSER_METHOD;            // "LogoutUser"
extern const char* const REQUPDATEACCOUNT_METHOD;      // "ReqUpdateAccount"
extern const char* const SETREGID_METHOD;              // "SetRegID"
extern const char* const CHECKUSERLOGINSTATUS_METHOD;  // "CheckUserLoginStatus"
extern const char* const USERLOGGEDIN_METHOD;          // "UserLoggedin"
extern const char* const USERLOGGEDOUT_METHOD;         // "UserLoggedout"
extern const char* const UPDATEACCOUNT_METHOD;         // "UpdateAccount"
extern const char* const AUTHORIZE_METHOD;             // "Authorize"

// Login service "AUTH": keys and property names.
extern const char* const LOGIN_PARAM;                           // "Login"
extern const char* const PASSWORD_PARAM;                        // "Password"
extern const char* const KEY_PARAM;                             // "Key"
extern const char* const USERDEFAULTDOMAIN_PARAM;               // "UserDefaultDomain"
extern const char* const HASH_PARAM;                            // "Hash"
extern const char* const CLIENTTYPE_PARAM;                      // "ClientType"
extern const char* const APPNAME_PARAM;                         // "AppName"
extern const char* const USERNAME_PARAM;                        // "UserName"
extern const char* const DISPLAYNAME_PARAM;                     // "DisplayName"
extern const char* const SESSION_PARAM;                         // "Session"
extern const char* const TARIFNAME_PARAM;                       // "TarifName"
extern const char* const RIGHTS_PARAM;                          // "Rights"
extern const char* const TYPE_PARAM;                            // "Type"
extern const char* const TARIFRESTR_PARAM;                      // "TarifRestr"
extern const char* const PROPERTY_PARAM;                        // "Property"
extern const char* const FIELD1_PARAM;                          // "Field1"
extern const char* const CAUSE_PARAM;                           // "Cause"
extern const char* const CALLID_PARAM;                          // "CallId"
extern const char* const FIRSTNAME_PARAM;                       // "FirstName"
extern const char* const LASTNAME_PARAM;                        // "LastName"
extern const char* const USERCOMPANY_PARAM;                     // "company"
extern const char* const OLDPASSWORD_PARAM;                     // "OldPassword"
extern const char* const NEWPASSWORD_PARAM;                     // "NewPassword"
extern const char* const REGID_PARAM;                           // "RegID"
extern const char* const SUBTYPE_PARAM;                         // "SubType"
extern const char* const EMAIL_REQUEST_TIMESTAMP_NAME;          // "EmailRequestTimestamp"
extern const char* const EMAIL_LOGIN_SESSION_TIMEOUT_PROPERTY;  // "email_login_session_timeout"

// Network-configuration service "NET_CONFIG".
extern const char* const UPDATECONFIGURATION_METHOD;        // "UpdateConfiguration"
extern const char* const GETAPPPROPERTIES_METHOD;           // "GetAppProps"
extern const char* const SETPROPERTIES_METHOD;              // "SetProps"
extern const char* const SET_USER_PROPERTY_METHOD;          // "SetUserProperty"
extern const char* const REDIRECTTO_METHOD;                 // "RedirectTo"
extern const char* const IPCONFIG_PARAM;                    // "IPConfig"
extern const char* const IP6CONFIG_PARAM;                   // "IPv6Config"
extern const char* const CLIENTVERSION_PARAM;               // "ClientVersion"
extern const char* const NAME_PARAM;                        // "Name"
extern const char* const USER_PROPERTY_NAME_PARAM;          // "UserPropertyName"
extern const char* const USER_PROPERTY_VALUE_PARAM;         // "UserPropertyValue"
extern const char* const AS_DATE_STRING_PARAM;              // "as_date_string"
extern const char* const SERVICES_PARAM;                    // "Services"
extern const char* const EPCONFIG_PARAM;                    // "EpConfig"
extern const char* const CALLS_ONE_LIST_PROPERTY;           // "call_history_as_one_list"
extern const char* const SERVER_PROTOCOL_VERSION_PROPERTY;  // "server_protocol_version"

// Client service "CLIENT".
extern const char* const TRYACCEPTDIRECT_METHOD;  // "TryAcceptDirect"

namespace hx::protocol {

// Time limits of requests in milliseconds: every service, and the client service "CLIENT".
inline constexpr unsigned kRequestTimeLimitMs = 20000;
inline constexpr unsigned kClientRequestTimeLimitMs = 7000;

}  // namespace hx::protocol
