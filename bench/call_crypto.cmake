# Encrypted calls: the audio path with and without sealing, sealing alone,
# and the key exchange.
kestrona_bench(call_crypto_bench SOURCES ${CMAKE_CURRENT_LIST_DIR}/call_crypto_bench.cpp
    LIBS kestrona_net kestrona_media)
