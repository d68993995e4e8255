#pragma once
// Call ids as the server hands them out.

#include <string>

// Erases the transcoder part of a call id: everything from the first "/" to the end
// ("conf1/t2" becomes "conf1"); an id without "/" is left alone.
void HX_RemoveTranscoderID(std::string& call_id);
