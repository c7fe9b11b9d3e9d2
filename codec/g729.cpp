#include "codec/g729.h"

#include "codec/bitstream.h"
#include "codec/decoder.h"
#include "codec/encoder.h"

// The process-wide encoder and decoder. They share nothing writable, so the
// send thread may encode while the receive thread decodes.
namespace {
G729EncoderState g_encoder;
G729DecoderState g_decoder;
}  // namespace

void G729EncoderInit() {
    kestrona::codec::EncoderInit(g_encoder);
}

void G729EncodeFrame(const int16_t* pcm, uint8_t* frame) {
    int32_t params[kestrona::codec::kParamCount];
    kestrona::codec::EncodeToParams(g_encoder, pcm, params);
    g_encoder.packer.Pack(params, frame);
}

void G729DecoderInit() {
    kestrona::codec::DecoderInit(g_decoder);
}

void G729DecodeFrame(const uint8_t* frame, int16_t* pcm, int badFrame) {
    kestrona::codec::DecodeFrame(g_decoder, frame, pcm, badFrame);
}

void G729SetLspWarningsPrinted(bool printed) {
    g_encoder.lsp_warnings.print = printed;
    g_decoder.lsp_warnings.print = printed;
}

kestrona::codec::LspWarnings G729EncoderLspWarnings() {
    return g_encoder.lsp_warnings;
}

kestrona::codec::LspWarnings G729DecoderLspWarnings() {
    return g_decoder.lsp_warnings;
}
