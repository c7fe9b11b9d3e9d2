#include "net/records.h"

#include <cstring>

#include "platform/gbk.h"
#include "settings/settings_model.h"

namespace kestrona {

void PutInt32(char* at, int32_t value) {
    const auto v = static_cast<uint32_t>(value);
    for (int i = 0; i < 4; ++i) at[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

int32_t GetInt32(const char* at) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= static_cast<uint32_t>(static_cast<unsigned char>(at[i])) << (8 * i);
    return static_cast<int32_t>(v);
}

namespace {

// A field of a received chunk, 0 when the chunk ends before the field does.
int32_t FieldInt32(const char* data, std::size_t received, std::size_t offset) {
    return received >= offset + 4 ? GetInt32(data + offset) : 0;
}

template <std::size_t N>
void PutWord(std::array<char, N>& record, std::string_view word) {
    std::memcpy(record.data(), word.data(), word.size());
}

}  // namespace

LoginRecord BuildLoginRecord(const LoginRequest& request) {
    LoginRecord r{};
    PutWord(r, "USERLOGIN");
    PutInt32(&r[20], request.nID);
    PutGbkField(&r[24], 20, request.strPassword);
    PutInt32(&r[44], request.nListenPort);
    r[48] = request.bProxy ? 1 : 0;
    r[49] = request.bStartHidden ? 1 : 0;
    PutInt32(&r[64], request.nVerMajor);
    PutInt32(&r[68], request.nVerMinor);
    PutInt32(&r[72], request.nVerBuild);
    return r;
}

RegisterRecord BuildRegisterRecord(const RegisterRequest& request) {
    RegisterRecord r{};
    PutWord(r, "REGISTERNEW");
    PutGbkField(&r[20], 20, request.strName);
    PutGbkField(&r[40], 20, request.strPassword);
    PutGbkField(&r[60], 30, request.strEmail);
    PutGbkField(&r[90], 20, request.strCountry);
    PutGbkField(&r[110], 20, request.strCity);
    return r;
}

QueryUserRecord BuildQueryUserRecord(int32_t ownId, int32_t wantedId) {
    QueryUserRecord r{};
    PutWord(r, "QUERYUSER");
    PutInt32(&r[20], ownId);
    PutInt32(&r[24], wantedId);
    return r;
}

UserLiveRecord BuildUserLiveRecord(int32_t id) {
    UserLiveRecord r{};
    PutWord(r, "USERLIVE");  // eight letters, no zero: the number follows at once
    PutInt32(&r[8], id);
    return r;
}

LogoutRecord BuildLogoutRecord(int32_t id) {
    LogoutRecord r{};
    PutWord(r, "USERLOGOUT");
    PutInt32(&r[20], id);
    return r;
}

MsgReportRecord BuildMsgReportRecord(int32_t kind, int32_t peerId, int32_t ownId, int32_t seconds) {
    MsgReportRecord r{};
    PutWord(r, "MSGREPORT");
    PutInt32(&r[20], kind);
    PutInt32(&r[24], peerId);
    PutInt32(&r[28], ownId);
    PutInt32(&r[32], kind == 2 ? seconds : 0);
    return r;
}

ChangePortRecord BuildChangePortRecord(int32_t id, int32_t port) {
    ChangePortRecord r{};
    PutWord(r, "CHANGEPORT");
    PutInt32(&r[20], id);
    PutInt32(&r[24], port);
    return r;
}

int32_t RegisteredNumber(const char* buffer) {
    return GetInt32(buffer + 18);
}

QueryUserResult ParseQueryUserResult(const char* buffer) {
    QueryUserResult result;
    // Bounded by its 16-byte field: a reply without a terminator must not run on.
    result.strAddress.assign(buffer + 20, ::strnlen(buffer + 20, 16));
    if (result.strAddress.size() > 15)
        result.strAddress.resize(15);
    result.nPort = GetInt32(buffer + 36);
    return result;
}

RequestCallRecord BuildRequestCallRecord(const RequestCall& request) {
    RequestCallRecord r{};
    PutWord(r, "REQUESTCALL");
    PutInt32(&r[20], request.nSampleRate);
    PutInt32(&r[24], request.nCallerId);
    PutInt32(&r[28], request.nFeatures);
    PutInt32(&r[32], request.nDelayBufferMs);
    return r;
}

RequestCall ParseRequestCall(const char* data, std::size_t received) {
    RequestCall r;
    r.nSampleRate = FieldInt32(data, received, 20);
    r.nCallerId = FieldInt32(data, received, 24);
    r.nFeatures = FieldInt32(data, received, 28);
    r.nDelayBufferMs = FieldInt32(data, received, 32);
    return r;
}

bool IsCallSampleRate(int32_t rate) {
    for (int32_t index = 0; index < 5; ++index) {
        if (SampleRateForConnectionType(index) == rate)
            return true;
    }
    return false;
}

bool IsOfferedDelayBufferMs(int32_t ms) {
    return ms >= kMinDelayBufferMs && ms <= kMaxDelayBufferMs;
}

ParamenterBytes BuildParamenterRecord(const Paramenter& params) {
    ParamenterBytes r{};
    PutWord(r, "PARAMENTER");
    PutInt32(&r[20], params.nSampleRate);
    PutInt32(&r[24], params.nPortIn);
    PutInt32(&r[28], params.nPortOut);
    PutInt32(&r[32], params.nFeatures);
    return r;
}

Paramenter ParseParamenter(const char* data, std::size_t received) {
    Paramenter p;
    p.nSampleRate = FieldInt32(data, received, 20);
    p.nPortIn = FieldInt32(data, received, 24);
    p.nPortOut = FieldInt32(data, received, 28);
    p.nFeatures = FieldInt32(data, received, 32);
    return p;
}

int32_t TakenMediaFeatures(int32_t offered) {
    if ((offered & kFeatureShortFrames) == 0)
        return 0;
    return offered & kMediaFeatures;
}

int32_t OpusCallRate(int32_t agreedRate) {
    return agreedRate >= 24000 ? 24000 : 16000;
}

bool AcceptableAnswer(int32_t offered, int32_t proposedRate, const Paramenter& answer) {
    const int32_t taken = answer.nFeatures;
    if ((taken & ~kMediaFeatures) != 0 || (taken & ~offered) != 0 ||
        taken != TakenMediaFeatures(taken))
        return false;
    if ((taken & kFeatureOpus) != 0)
        return answer.nSampleRate == OpusCallRate(proposedRate) ||
               answer.nSampleRate == OpusCallRate(0);
    return IsCallSampleRate(answer.nSampleRate) && answer.nSampleRate <= proposedRate;
}

std::array<char, kAutoAnswerRecordSize> BuildAutoAnswerRecord() {
    std::array<char, kAutoAnswerRecordSize> r{};
    PutWord(r, "AUTOANSWER");
    return r;
}

int32_t SampleRateForConnectionType(int32_t rateIndex) {
    static constexpr int32_t kRates[] = {8000, 12000, 16000, 22050, 24000};
    return rateIndex >= 0 && rateIndex < 5 ? kRates[rateIndex] : kRates[0];
}

}  // namespace kestrona
