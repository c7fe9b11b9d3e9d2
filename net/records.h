// Byte images of the command records exchanged with the directory server and
// with the peer client. Integers are 32-bit little-endian, texts are code page
// 936 in zero-padded fields, and every byte no field covers is zero.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kestrona {

// ---- directory-server requests ----
inline constexpr std::size_t kLoginRecordSize = 76;
inline constexpr std::size_t kRegisterRecordSize = 144;
inline constexpr std::size_t kQueryUserRecordSize = 40;
inline constexpr std::size_t kUserLiveRecordSize = 12;
inline constexpr std::size_t kLogoutRecordSize = 36;
inline constexpr std::size_t kMsgReportRecordSize = 48;
inline constexpr std::size_t kChangePortRecordSize = 28;

using LoginRecord = std::array<char, kLoginRecordSize>;
using RegisterRecord = std::array<char, kRegisterRecordSize>;
using QueryUserRecord = std::array<char, kQueryUserRecordSize>;
using UserLiveRecord = std::array<char, kUserLiveRecordSize>;
using LogoutRecord = std::array<char, kLogoutRecordSize>;
using MsgReportRecord = std::array<char, kMsgReportRecordSize>;
using ChangePortRecord = std::array<char, kChangePortRecordSize>;

struct LoginRequest {
    int32_t nID = 0;
    std::string strPassword;  // UTF-8; at most 19 bytes once in code page 936
    int32_t nListenPort = 0;
    bool bProxy = false;
    bool bStartHidden = false;
    int32_t nVerMajor = 2;
    int32_t nVerMinor = 0;
    int32_t nVerBuild = 1228;
};
LoginRecord BuildLoginRecord(const LoginRequest& request);

struct RegisterRequest {  // UTF-8 texts as typed
    std::string strName;
    std::string strPassword;
    std::string strEmail;
    std::string strCountry;
    std::string strCity;
};
RegisterRecord BuildRegisterRecord(const RegisterRequest& request);

QueryUserRecord BuildQueryUserRecord(int32_t ownId, int32_t wantedId);
UserLiveRecord BuildUserLiveRecord(int32_t id);
LogoutRecord BuildLogoutRecord(int32_t id);
// What a MSGREPORT tells the directory server about a call.
enum ReportKind : int32_t {
    kReportAnswered = 1,      // the callee's user answered
    kReportHungUp = 2,        // the user ended the call (with its seconds)
    kReportAutoAnswered = 3,  // the callee's answering machine took the call
};
MsgReportRecord BuildMsgReportRecord(int32_t kind, int32_t peerId, int32_t ownId, int32_t seconds);
ChangePortRecord BuildChangePortRecord(int32_t id, int32_t port);

// ---- directory-server replies (read from a socket's zero-padded buffer) ----
inline constexpr std::size_t kLoginReplySize = 252;
inline constexpr std::size_t kQueryReplySize = 52;

// "REGISTERNEWSUCCESS": the new number sits at offset 18, straight behind the word.
int32_t RegisteredNumber(const char* buffer);

struct QueryUserResult {
    std::string strAddress;  // dotted IPv4 text, at most 15 characters
    int32_t nPort = 0;
};
QueryUserResult ParseQueryUserResult(const char* buffer);

// ---- peer call-control records ----
inline constexpr std::string_view kWordAccept = "ACCEPT";
inline constexpr std::string_view kWordBusy = "RCRESULTBUSY";
inline constexpr std::string_view kWordStartTalk = "STARTTALK";
inline constexpr std::string_view kWordEndTalk = "ENDTALK";
inline constexpr std::string_view kWordUnsupported = "UNSUPPORTED";
inline constexpr std::string_view kWordUnknownCmd = "UNKNOWCMD";
inline constexpr std::size_t kAutoAnswerRecordSize = 32;
inline constexpr std::size_t kRequestCallRecordSize = 48;
inline constexpr std::size_t kParamenterRecordSize = 52;

using RequestCallRecord = std::array<char, kRequestCallRecordSize>;
using ParamenterBytes = std::array<char, kParamenterRecordSize>;

struct RequestCall {
    int32_t nSampleRate = 0;  // proposed by the caller
    int32_t nCallerId = 0;
    int32_t nFeatures = 0;       // kFeature* bits offered; 0 from a phone without them
    int32_t nDelayBufferMs = 0;  // the caller's playout delay
};
RequestCallRecord BuildRequestCallRecord(const RequestCall& request);
// Reads the first `received` bytes only: a field the chunk does not hold
// whole reads as 0 (which the checks below refuse).
RequestCall ParseRequestCall(const char* data, std::size_t received);
// What a callee takes: one of the five call rates and a delay the quality
// page offers (anything else is answered "UNSUPPORTED"; the feature field is
// checked on its own).
bool IsCallSampleRate(int32_t rate);
bool IsOfferedDelayBufferMs(int32_t ms);

// The call parameters the callee sends back; the phone window keeps one.
struct Paramenter {
    int32_t nSampleRate = 0;  // the smaller of both sides' rates
    int32_t nPortIn = 0;      // callee's receiving audio port: caller sends to it (second)
    int32_t nPortOut = 0;     // callee's sending audio port: caller receives from it (first)
    // The media features the callee took of those offered (kFeatureOpus,
    // kFeatureShortFrames), at offset 32, which phones without them leave 0.
    int32_t nFeatures = 0;
};
ParamenterBytes BuildParamenterRecord(const Paramenter& params);
// As ParseRequestCall: never past `received`; missing fields read as 0.
Paramenter ParseParamenter(const char* data, std::size_t received);

std::array<char, kAutoAnswerRecordSize> BuildAutoAnswerRecord();

// The audio rate of a connection type (the setting m_nRate): 0..4 give 8000,
// 12000, 16000, 22050, 24000 Hz. A type outside the list (a hand-edited
// store) talks at the lowest rate, 8000 Hz, on both sides of a call.
int32_t SampleRateForConnectionType(int32_t rateIndex);

// ---- encrypted calls ----
// REQUESTCALL feature bit 0: the caller offers an encrypted call. A phone
// that can, answers with the key exchange (net/call_handshake.h) instead of
// PARAMENTER; one that cannot, with "UNSUPPORTED".
inline constexpr int32_t kFeatureEncryptedCall = 1;

// ---- calls in frames ----
// REQUESTCALL feature bits 1 and 2: the caller takes Opus, and frames of
// 20 ms sent as they are coded. A callee that takes them says so in
// PARAMENTER's feature field; one without them answers the whole offer with
// "UNSUPPORTED", and the caller asks again without them.
inline constexpr int32_t kFeatureOpus = 2;
inline constexpr int32_t kFeatureShortFrames = 4;
inline constexpr int32_t kMediaFeatures = kFeatureOpus | kFeatureShortFrames;
inline constexpr int32_t kKnownFeatures = kFeatureEncryptedCall | kMediaFeatures;
// What a callee takes of an offer: short frames when offered, and Opus only
// in short frames.
int32_t TakenMediaFeatures(int32_t offered);
// The rate of an Opus call, from the smaller of both sides' connection-type
// rates: wideband at 16 kHz, super-wideband at 24 kHz where both sides' types
// reach it. (Opus does not run at 22050 Hz; every type is far above its
// 24 kbit/s.)
int32_t OpusCallRate(int32_t agreedRate);
// Whether a PARAMENTER's features and rate can answer what this caller
// offered at its proposed rate.
bool AcceptableAnswer(int32_t offered, int32_t proposedRate, const Paramenter& answer);

// ---- little-endian helpers ----
void PutInt32(char* at, int32_t value);
int32_t GetInt32(const char* at);

}  // namespace kestrona
