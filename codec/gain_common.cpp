#include "codec/gain_common.h"

#include <cmath>

#include "codec/double_pair.h"
#include "codec/elementary.h"
#include "codec/tables.h"

namespace kestrona::codec {

namespace {
constexpr double kMeanEnergyDb = 36.0;
}

double PredictCodeGain(const double pastEnergy[4], const double code[40]) {
    // Four partial sums, two per instruction, so that the additions overlap.
    Pair e0 = {0.01, 0.0};
    Pair e1 = {0.0, 0.0};
    for (int n = 0; n < 40; n += 4) {
        const Pair c0 = LoadPair(code + n);
        const Pair c1 = LoadPair(code + n + 2);
        e0 += c0 * c0;
        e1 += c1 * c1;
    }
    const Pair e = e0 + e1;
    const double energy = e[0] + e[1];
    double predicted = kMeanEnergyDb;
    for (int i = 0; i < 4; ++i) {
        predicted += kGainPredictor[i] * pastEnergy[i];
    }
    // 10^((predicted - 10 log10(energy / 40)) / 20), with the code vector's
    // energy taken out as a square root instead of a logarithm, and the power
    // of ten as an exponential.
    constexpr double kLn10Over20 = 0.11512925464970229;  // ln(10) / 20
    return Exponential(predicted * kLn10Over20) / std::sqrt(energy / 40.0);
}

void UpdateGainMemory(double pastEnergy[4], int rowA, int rowB) {
    for (int i = 3; i > 0; --i) {
        pastEnergy[i] = pastEnergy[i - 1];
    }
    pastEnergy[0] = kGainCodeEnergyDb[rowA][rowB];
}

}  // namespace kestrona::codec
