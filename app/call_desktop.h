// What the call controller tells the desktop about its calls: a call that
// rings, how its ringing ended, and while speech flows. The desktop glue
// turns that into notifications and a hold on idle and sleep; the controller
// knows nothing of the bus. Everything runs on the user-interface thread.
#pragma once

#include <QString>
#include <cstdint>
#include <string>

namespace kestrona {

class ICallDesktop {
  public:
    virtual ~ICallDesktop() = default;

    // How a call that rang here ended its ringing.
    enum class Outcome {
        kAnswered,     // the user took it
        kRefused,      // the user hung up, or it ended after the user had it
        kMissed,       // the caller gave up before anyone answered
        kMessageLeft,  // the answering machine took it and recorded the caller
    };

    // An incoming call rings; name is the phone book's, empty when unknown.
    virtual void CallOffered(int32_t number, const QString& name) = 0;
    // The ringing of the offered call is over. stem names the recording of a
    // message (empty otherwise).
    virtual void OfferEnded(Outcome outcome, int32_t number, const QString& name,
                            const std::string& stem) = 0;
    // A caller was told busy during another call.
    virtual void MissedWhileBusy(int32_t number, const QString& name) = 0;
    // Speech flows (talking, or an answering machine on either side) until
    // the call ends.
    virtual void CallUp(bool up) = 0;
};

}  // namespace kestrona
