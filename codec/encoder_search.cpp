// The excitation search of one frame: per subframe the target, the pitch delay,
// the algebraic code vector and the gains, then the memories they feed.
#include "codec/bitstream.h"
#include "codec/encoder.h"
#include "codec/encoder_internal.h"
#include "codec/gain_common.h"

namespace kestrona::codec::enc {

namespace {

constexpr int kL = kSubframeLen;

double Dot(const double* a, const double* b) {
    double s = 0.0;
    for (int n = 0; n < kL; ++n) {
        s += a[n] * b[n];
    }
    return s;
}

}  // namespace

void SearchExcitation(G729EncoderState& st, const double aw[2 * kLpCoeffs], int32_t* params) {
    const int openLoop = OpenLoopPitch(st.wsp + G729EncoderState::kWspHistory);
    PitchRange range = FirstSubframeRange(openLoop);

    for (int s = 0; s < 2; ++s) {
        const double* w = aw + s * kLpCoeffs;
        double* exc = st.exc + G729EncoderState::kExcHistory + s * kL;

        double h[kL] = {1.0};
        LpSynthesis(w, h, h, kL, st.zero_mem, false);
        double x[kL];
        LpSynthesis(w, exc, x, kL, st.target_mem, false);

        double d[kL];
        BackwardFilter(x, h, d);
        int frac = 0;
        const int t = ClosedLoopPitch(exc, d, range, s == 0, &frac);
        int32_t* out = params + (s == 0 ? kParamP1 : kParamP2);
        if (s == 0) {
            *out = CodePitchDelay1(t, frac);
            params[kParamP0] = PitchParity(*out);
            range = SecondSubframeRange(t);
        } else {
            *out = CodePitchDelay2(t, frac, range.tmin);
        }

        double y1[kL];
        LpSynthesis(w, exc, y1, kL, st.zero_mem, false);
        double g[5];
        const double xy1 = Dot(x, y1);
        g[0] = 0.01 + Dot(y1, y1);
        g[1] = 0.01 - 2.0 * xy1;
        double gp = xy1 / g[0];
        if (gp < 0.0) {
            gp = 0.0;
        } else if (gp > 1.2) {
            gp = 1.2;
        }
        const bool taming = TamingNeeded(st.taming_err, t, frac);
        if (taming && gp > 0.95) {
            gp = 0.95;
        }
        double x2[kL];
        for (int n = 0; n < kL; ++n) {
            x2[n] = x[n] - gp * y1[n];
        }

        // Pitch sharpening makes the code vector repeat at delays below a subframe.
        if (t < kL) {
            for (int n = t; n < kL; ++n) {
                h[n] += st.pitch_sharp * h[n - t];
            }
        }
        double code[kL];
        double y2[kL];
        const AcelpResult cb = AcelpSearch(x2, h, code, y2);
        if (t < kL) {
            for (int n = t; n < kL; ++n) {
                code[n] += st.pitch_sharp * code[n - t];
            }
        }
        params[s == 0 ? kParamC1 : kParamC2] = cb.positionIndex;
        params[s == 0 ? kParamS1 : kParamS2] = cb.signIndex;

        g[2] = 0.01 + Dot(y2, y2);
        g[3] = -2.0 * (0.01 + Dot(x, y2));
        g[4] = 2.0 * (0.01 + Dot(y1, y2));
        const GainResult q = QuantiseGains(code, g, taming, st.past_qua_en);
        UpdateGainMemory(st.past_qua_en, q.rowA, q.rowB);
        params[s == 0 ? kParamGain1 : kParamGain2] = q.index;

        st.pitch_sharp = q.gainPitch < 0.2 ? 0.2 : (q.gainPitch > 0.7945 ? 0.7945 : q.gainPitch);
        for (int n = 0; n < kL; ++n) {
            exc[n] = q.gainPitch * exc[n] + q.gainCode * code[n];
        }
        UpdateTaming(st.taming_err, t, q.gainPitch);
        for (int j = 0; j < kLpOrder; ++j) {
            st.target_mem[j] = x[kL - kLpOrder + j] - q.gainPitch * y1[kL - kLpOrder + j] -
                               q.gainCode * y2[kL - kLpOrder + j];
        }
    }
}

}  // namespace kestrona::codec::enc
