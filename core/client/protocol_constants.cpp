#include "core/client/protocol_constants.h"

const char* const METHOD_PARAM = "Method";
const char* const RESULT_PARAM = "Result";

const char* const AUTH_SRV = "AUTH";
const char* const CONFIGURATION_SRV = "NET_CONFIG";
const char* const CLIENT_SRV = "CLIENT";
const char* const CONFERENCE_SRV = "CONFERENCE";
const char* const DS_CONTROL_SRV = "DS_CONTROL";
const char* const ADDRESSBOOK_SRV = "ABOOK";
const char* const PRESENCE_SRV = "PRESENCE";
const char* const CHAT_SRV = "CHAT";
const char* const CHATV2_SRV = "CHATV2";
const char* const TORRENT_SRV = "TORRENT";
const char* const LOG_SRV = "LOG";
