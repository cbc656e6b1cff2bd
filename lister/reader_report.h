// The reader lister's report: one JSON-like entry per reader, written while
// the readers are walked, and the ATR text that goes into an entry.
//
// Everything OpenSC does is reached through the entry points handed in, so
// that these functions run the same against the real library, the test double
// or fakes in the same process.
#pragma once

#include "opensc_abi.h"

#include <cstddef>
#include <cstdio>

// The OpenSC entry points needed to examine one reader.
struct ReaderEntryPoints {
    sc_ctx_get_reader_fn getReader;
    sc_detect_card_presence_fn detectCardPresence;
    sc_connect_card_fn connectCard;
    sc_bin_to_hex_fn binToHex;
    sc_disconnect_card_fn disconnectCard;
};

// What sc_bin_to_hex is allowed to write: the longest ATR, 33 bytes, as
// "xx:" pairs with the last separator's place taken by the terminating zero.
// (A size of 98 would leave a 33-byte ATR, which is valid, out of the report.)
// The buffer has one more character that stays zero whatever the library
// does, so the text always ends within it.
const size_t ATR_TEXT_SIZE = 3 * SC_MAX_ATR_SIZE;
typedef char AtrText[ATR_TEXT_SIZE + 1];

// Writes `text` to the report; nothing when the report could not be created
// (null), since the run goes on without one.
void writeReport(FILE* report, const char* text);

// Renders the ATR of a connected card as lower-case hex pairs joined by ":"
// into `text`. No more than SC_MAX_ATR_SIZE bytes are handed over, whatever
// the length field says; when rendering fails `text` is left empty. `name`
// only labels the trace.
void renderAtr(sc_bin_to_hex_fn binToHex, const struct sc_atr& atr, const char* name,
               AtrText& text);

// Fetches reader `index` of `context`, finds out whether a card is in it and,
// if so, reads its ATR; writes the reader's entry (no separator) to `report`
// and traces each step on standard output. A reader that is not delivered,
// whose presence is unknown or that holds no card is reported without card.
// In the entry, every quote, backslash and control byte of the reader's name
// is written as "?" (the trace shows the name as it is).
void reportReader(FILE* report, const ReaderEntryPoints& sc, sc_context_t* context,
                  unsigned index);
