// The names of the values in the settings store, spelled once. The store
// compares names without regard to case; these are the spellings written.
#pragma once

namespace kestrona::reg {

// Installation and account.
inline constexpr const char* kVersion = "Version";
inline constexpr const char* kDirectory = "Directory";
inline constexpr const char* kAlreadyRegisterNew = "AlreadyRegisterNew";
inline constexpr const char* kId = "id";
// The registration writes the same value as "ID"; names are compared without
// regard to case, and each writer keeps its own spelling in the file.
inline constexpr const char* kIdAtRegistration = "ID";
inline constexpr const char* kPassword = "password";
inline constexpr const char* kUserName = "username";
inline constexpr const char* kEmail = "email";
inline constexpr const char* kCountry = "country";
inline constexpr const char* kCity = "city";

// The directory server.
inline constexpr const char* kHost = "Host";
inline constexpr const char* kHostPort = "HostPort";
// 1: the exchanges with the server go inside TLS (HostPort is then the
// server's TLS port); anything else: plain, as every phone speaks it.
inline constexpr const char* kHostTls = "HostTls";
// The SHA-256 fingerprint of the server's certificate as 64 hex digits;
// missing or empty: the system's certificate authorities decide.
inline constexpr const char* kHostTlsPin = "HostTlsPin";

// Connection and proxy.
inline constexpr const char* kRate = "rate";
inline constexpr const char* kTimeout = "timeout";
inline constexpr const char* kProxy = "proxy";
inline constexpr const char* kProxyAddress = "proxyaddress";
inline constexpr const char* kSock5Port = "sock5port";
inline constexpr const char* kHttpPort = "httpport";
inline constexpr const char* kProxyUserName = "proxyusername";
inline constexpr const char* kProxyPassword = "proxypassword";

// Fixed firewall ports.
inline constexpr const char* kFixPort = "fixport";
inline constexpr const char* kCmdPort = "cmdport";
inline constexpr const char* kAiPort = "aiport";
inline constexpr const char* kAoPort = "aoport";

// Answering machine and playout delay.
inline constexpr const char* kAutoAA = "autoaa";
inline constexpr const char* kForceBreak = "forcebreak";
inline constexpr const char* kAATime = "aatime";
inline constexpr const char* kAAFBTime = "aafbtime";
inline constexpr const char* kDelayBuffer = "DelayBuffer";

// Encrypted calls: "required", "preferred" or "off"; missing or anything
// else: preferred.
inline constexpr const char* kEncryption = "encryption";

// The language of the phone's texts: "zh" or "en"; missing: the locale's.
inline constexpr const char* kLanguage = "Language";

// The start-at-logon value, under the system's run key.
inline constexpr const char* kRunValue = "Kestrona";

}  // namespace kestrona::reg
