#!/usr/bin/env python3
"""Writes the four ring sounds of the phone (8000 Hz, 16-bit mono WAV).

in.wav    an incoming call: a soft three-note chime, 1.2 s (repeated every 2 s)
out.wav   the ring-back while dialling: a gentle two-tone purr, 1.0 s (every 4 s)
busy.wav  the callee is busy: a short low double tone, 0.45 s (every second)
aa.wav    the answering machine takes the call: a rising four-note signature
          and a long tone to speak after, 1.6 s (played to its end)

Run from anywhere: python3 res/ring/make_rings.py [OUTPUT_DIR]
The output is the same on every run.
"""
import math
import os
import struct
import sys
import wave

RATE = 8000


def silence(seconds):
    return [0.0] * int(RATE * seconds)


def note(freq, seconds, decay=4.0, partials=((1, 1.0), (2, 0.25), (3, 0.08))):
    """A bell-like note: a few harmonics under an exponential decay with a
    short attack so it never clicks."""
    n = int(RATE * seconds)
    out = []
    attack = int(RATE * 0.008)
    for i in range(n):
        t = i / RATE
        env = math.exp(-decay * t)
        if i < attack:
            env *= i / attack
        tail = n - i
        if tail < attack:
            env *= tail / attack
        s = sum(a * math.sin(2 * math.pi * freq * k * t) for k, a in partials)
        out.append(env * s)
    return out


def tone(freqs, seconds, fade=0.02):
    n = int(RATE * seconds)
    f = int(RATE * fade)
    out = []
    for i in range(n):
        t = i / RATE
        env = 1.0
        if i < f:
            env = i / f
        elif n - i < f:
            env = (n - i) / f
        out.append(env * sum(math.sin(2 * math.pi * fr * t) for fr in freqs) / len(freqs))
    return out


def mix_at(base, part, start):
    for i, v in enumerate(part):
        j = start + i
        if j >= len(base):
            base.extend([0.0] * (j - len(base) + 1))
        base[j] += v
    return base


def write(path, samples, level):
    peak = max(1e-9, max(abs(s) for s in samples))
    scale = level * 32767 / peak
    with wave.open(path, "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(RATE)
        w.writeframes(b"".join(struct.pack("<h", int(round(s * scale))) for s in samples))


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    os.makedirs(out_dir, exist_ok=True)

    # E5, G5, C6: a major chord broken upwards.
    chime = silence(1.2)
    for k, freq in enumerate((659.25, 783.99, 1046.5)):
        mix_at(chime, note(freq, 1.2 - 0.15 * k, decay=3.5), int(RATE * 0.15 * k))
    write(os.path.join(out_dir, "in.wav"), chime[: int(RATE * 1.2)], 0.6)

    # Two close tones beat slowly against each other: a soft purr.
    write(os.path.join(out_dir, "out.wav"), tone((440.0, 480.0), 1.0, fade=0.05), 0.45)

    busy = tone((480.0, 620.0), 0.2) + silence(0.05) + tone((480.0, 620.0), 0.2)
    write(os.path.join(out_dir, "busy.wav"), busy, 0.45)

    # C5, E5, G5, C6 and a steady A5 to speak after.
    sig = silence(1.6)
    for k, freq in enumerate((523.25, 659.25, 783.99, 1046.5)):
        mix_at(sig, note(freq, 0.35, decay=6.0), int(RATE * 0.14 * k))
    mix_at(sig, [0.5 * v for v in tone((880.0,), 0.6, fade=0.03)], int(RATE * 0.95))
    write(os.path.join(out_dir, "aa.wav"), sig[: int(RATE * 1.6)], 0.6)


if __name__ == "__main__":
    main()
