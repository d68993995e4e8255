#pragma once
// Names of the settings that the settings database reads and writes itself.

inline constexpr const char ServerAddress[] = "ServerAddress";
inline constexpr const char LastServerAddress[] = "LastServerAddress";
inline constexpr const char ServerPort[] = "ServerPort";
inline constexpr const char ServerDomain[] = "ServerDomain";
