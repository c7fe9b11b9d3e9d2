// Code-gain prediction shared by the gain quantiser and the decoder.
#pragma once

namespace kestrona::codec {

// Predicted fixed-codebook gain g'c from the 40-sample code vector and the past
// quantised energies (dB, newest first).
double PredictCodeGain(const double pastEnergy[4], const double code[40]);

// Shifts the energy memory and stores the quantised energy 20*log10(gamma) of
// gain codebook rows rowA (GA) and rowB (GB) as the newest value.
void UpdateGainMemory(double pastEnergy[4], int rowA, int rowB);

}  // namespace kestrona::codec
