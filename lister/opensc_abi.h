// The few OpenSC types and entry points the reader lister uses.
//
// OpenSC installs no development headers on our target systems, so the
// declarations below mirror OpenSC's public opensc.h and types.h. They serve
// every OpenSC from 0.21 to 0.26 (Debian 11 to 13), and 0.27: the leading
// fields of sc_reader, sc_card and sc_atr are the same in all of them, and
// the one structure we allocate, the context parameters, is declared in its
// longest form with a zeroed reserve after it (see below). Only the leading
// structure fields that the lister reads are declared; the readers and cards
// are always allocated by OpenSC, never by us, so the rest of each structure
// can stay unknown. The real-stack test checks these layouts against the
// installed library: the reader name and the ATR must come back unchanged.
#pragma once

#include <stddef.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

// SC_MAX_ATR_SIZE
#define SC_MAX_ATR_SIZE 33

// Bit of sc_detect_card_presence's result that says a card is in the reader.
#define SC_READER_CARD_PRESENT 0x00000001

// Opaque: only ever handled by pointer.
typedef struct sc_context sc_context_t;

// The context parameters are the one OpenSC structure we allocate, and
// sc_context_create reads as much of it as its own release declares: up to
// 0.23 the first four fields, from 0.24 on also debug and debug_file. The
// record holds the longest form and a reserve after it, all zero apart from
// ver and app_name, so that no release reads past what we hand over, and a
// later release that appends a field (still with ver 0) reads zero there.
typedef struct {
    unsigned int ver;      // structure version, 0
    const char* app_name;  // selects the application block of opensc.conf
    unsigned long flags;
    void* thread_ctx;      // sc_thread_context_t*, unused here
    int debug;             // OpenSC 0.24 and later: debug level, 0
    FILE* debug_file;      // OpenSC 0.24 and later: null, the library's own choice
    void* reserve[16];     // never read by 0.21 to 0.27; zero
} sc_context_param_t;

struct sc_atr {
    unsigned char value[SC_MAX_ATR_SIZE];
    size_t len;
};

// Leading fields only, up to the name.
typedef struct sc_reader {
    sc_context_t* ctx;
    const void* driver;    // const struct sc_reader_driver*
    const void* ops;       // const struct sc_reader_operations*
    void* drv_data;
    char* name;
} sc_reader_t;

// Leading fields only, up to the ATR.
typedef struct sc_card {
    sc_context_t* ctx;
    sc_reader_t* reader;
    struct sc_atr atr;
} sc_card_t;

// The entry points, with OpenSC's signatures.
typedef int (*sc_context_create_fn)(sc_context_t** ctx, const sc_context_param_t* parm);
typedef unsigned int (*sc_ctx_get_reader_count_fn)(sc_context_t* ctx);
typedef sc_reader_t* (*sc_ctx_get_reader_fn)(sc_context_t* ctx, unsigned int i);
typedef int (*sc_detect_card_presence_fn)(sc_reader_t* reader);
typedef int (*sc_connect_card_fn)(sc_reader_t* reader, sc_card_t** card);
typedef int (*sc_bin_to_hex_fn)(const unsigned char* in, size_t in_len, char* out,
                                size_t out_len, int separator);
typedef int (*sc_disconnect_card_fn)(sc_card_t* card);

#ifdef __cplusplus
}
#endif
