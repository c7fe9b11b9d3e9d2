/* codec_reference: the same file jobs as kestrona-codec, done by the G.729
 * Annex A library that Debian ships, so that the codec benchmark can time both
 * as whole processes on the same files. A yardstick for the benchmark only.
 *
 *   codec_reference encode IN.wav OUT    (mono 16-bit WAV to 10-byte frames)
 *   codec_reference decode IN OUT.wav    (10-byte frames to a mono 16-bit WAV)
 */
#include <bcg729/decoder.h>
#include <bcg729/encoder.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum { kFrameSamples = 80, kFrameBytes = 10 };

static unsigned char* ReadAll(const char* path, size_t* size) {
    FILE* f = fopen(path, "rb");
    if (f == NULL) {
        return NULL;
    }
    size_t cap = 1 << 16;
    size_t len = 0;
    unsigned char* buf = malloc(cap);
    size_t got;
    while (buf != NULL && (got = fread(buf + len, 1, cap - len, f)) > 0) {
        len += got;
        if (len == cap) {
            cap *= 2;
            unsigned char* bigger = realloc(buf, cap);
            if (bigger == NULL) {
                free(buf);
            }
            buf = bigger;
        }
    }
    fclose(f);
    *size = len;
    return buf;
}

static uint32_t Le32(const unsigned char* p) {
    return p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

/* The samples of a RIFF/WAVE file: the "data" chunk, clipped to the file. */
static const unsigned char* WavData(const unsigned char* file, size_t size, size_t* bytes,
                                    uint32_t* rate) {
    if (size < 12 || memcmp(file, "RIFF", 4) != 0 || memcmp(file + 8, "WAVE", 4) != 0) {
        return NULL;
    }
    size_t at = 12;
    while (at + 8 <= size) {
        const uint32_t len = Le32(file + at + 4);
        if (memcmp(file + at, "fmt ", 4) == 0 && at + 16 <= size) {
            *rate = Le32(file + at + 12);
        }
        if (memcmp(file + at, "data", 4) == 0) {
            const size_t left = size - at - 8;
            *bytes = len < left ? len : left;
            return file + at + 8;
        }
        at += 8 + (size_t)len + (len & 1);
    }
    return NULL;
}

static void PutLe32(unsigned char* p, uint32_t v) {
    p[0] = (unsigned char)v;
    p[1] = (unsigned char)(v >> 8);
    p[2] = (unsigned char)(v >> 16);
    p[3] = (unsigned char)(v >> 24);
}

static int Encode(const char* in, const char* out) {
    size_t size = 0;
    unsigned char* file = ReadAll(in, &size);
    size_t bytes = 0;
    uint32_t rate = 8000;
    const unsigned char* data = file ? WavData(file, size, &bytes, &rate) : NULL;
    if (data == NULL) {
        fprintf(stderr, "codec_reference: %s is not a readable WAV file\n", in);
        free(file);
        return 1;
    }
    const size_t frames = (bytes / 2 + kFrameSamples - 1) / kFrameSamples;
    int16_t* pcm = calloc(frames * kFrameSamples + 1, sizeof(int16_t));
    uint8_t* bits = malloc(frames * kFrameBytes + 1);
    for (size_t i = 0; i < bytes / 2; ++i) {
        pcm[i] = (int16_t)(data[2 * i] | data[2 * i + 1] << 8);
    }
    bcg729EncoderChannelContextStruct* enc = initBcg729EncoderChannel(0);
    for (size_t i = 0; i < frames; ++i) {
        uint8_t length = 0;
        bcg729Encoder(enc, pcm + i * kFrameSamples, bits + i * kFrameBytes, &length);
    }
    closeBcg729EncoderChannel(enc);
    FILE* f = fopen(out, "wb");
    const int ok = f != NULL && fwrite(bits, 1, frames * kFrameBytes, f) == frames * kFrameBytes;
    if (f != NULL && fclose(f) != 0) {
        return 1;
    }
    free(bits);
    free(pcm);
    free(file);
    return ok ? 0 : 1;
}

static int Decode(const char* in, const char* out) {
    size_t size = 0;
    unsigned char* bits = ReadAll(in, &size);
    if (bits == NULL || size % kFrameBytes != 0) {
        fprintf(stderr, "codec_reference: %s is not a whole number of frames\n", in);
        free(bits);
        return 1;
    }
    const size_t frames = size / kFrameBytes;
    const size_t samples = frames * kFrameSamples;
    unsigned char* wav = malloc(44 + 2 * samples);
    int16_t pcm[kFrameSamples];
    bcg729DecoderChannelContextStruct* dec = initBcg729DecoderChannel();
    for (size_t i = 0; i < frames; ++i) {
        bcg729Decoder(dec, bits + i * kFrameBytes, kFrameBytes, 0, 0, 0, pcm);
        unsigned char* p = wav + 44 + i * 2 * kFrameSamples;
        for (int n = 0; n < kFrameSamples; ++n) {
            p[2 * n] = (unsigned char)pcm[n];
            p[2 * n + 1] = (unsigned char)((uint16_t)pcm[n] >> 8);
        }
    }
    closeBcg729DecoderChannel(dec);
    memcpy(wav, "RIFF\0\0\0\0WAVEfmt \x10\0\0\0\x01\0\x01\0\0\0\0\0\0\0\0\0\x02\0\x10\0data", 40);
    PutLe32(wav + 4, (uint32_t)(36 + 2 * samples));
    PutLe32(wav + 24, 8000);
    PutLe32(wav + 28, 16000);
    PutLe32(wav + 40, (uint32_t)(2 * samples));
    FILE* f = fopen(out, "wb");
    const int ok = f != NULL && fwrite(wav, 1, 44 + 2 * samples, f) == 44 + 2 * samples;
    if (f != NULL && fclose(f) != 0) {
        return 1;
    }
    free(wav);
    free(bits);
    return ok ? 0 : 1;
}

int main(int argc, char** argv) {
    if (argc == 4 && strcmp(argv[1], "encode") == 0) {
        return Encode(argv[2], argv[3]);
    }
    if (argc == 4 && strcmp(argv[1], "decode") == 0) {
        return Decode(argv[2], argv[3]);
    }
    fputs("usage: codec_reference encode IN.wav OUT | decode IN OUT.wav\n", stderr);
    return 2;
}
