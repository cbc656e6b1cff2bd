#include "reader_report.h"

#include "trace.h"

#include <cstring>

// Readers of this model are never connected: their token is known to give
// this ATR, and connecting to it through OpenSC is not wanted.
static const char* const ETOKEN_NAME = "Aladdin eToken PRO USB 72K";
static const char* const ETOKEN_ATR = "3b:d5:18:00:81:31:fe:7d:80:73:c8:21:10:f4";

void writeReport(FILE* report, const char* text)
{
    if (report)
        std::fputs(text, report);
}

// Writes a reader name into its quotes. A quote or backslash would end the
// text early or start an escape, and a control byte would break the one-line
// report: each is written as "?", so that no name can forge further entries.
// Every other byte is written as it is.
static void writeReaderName(FILE* report, const char* name)
{
    if (!report)
        return;
    for (const char* p = name; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        bool unsafe = c == '"' || c == '\\' || c < 0x20 || c == 0x7F;
        std::fputc(unsafe ? '?' : c, report);
    }
}

static void writeEntryWithoutCard(FILE* report, const char* name)
{
    writeReport(report, "{readerName:\"");
    writeReaderName(report, name);
    writeReport(report, "\",cardPresence:");
    writeReport(report, "0");
    writeReport(report, "}");
}

static void writeEntryWithCard(FILE* report, const char* name, const char* atrText)
{
    writeReport(report, "{readerName:\"");
    writeReaderName(report, name);
    writeReport(report, "\",cardPresence:");
    writeReport(report, "1");
    writeReport(report, ",atr:\"");
    writeReport(report, atrText);
    writeReport(report, "\"}");
}

void renderAtr(sc_bin_to_hex_fn binToHex, const struct sc_atr& atr, const char* name,
               AtrText& text)
{
    std::memset(text, 0, sizeof text);
    size_t length = atr.len;
    if (length > SC_MAX_ATR_SIZE) {
        std::printf("reader %s card atr length %zu cut to %d\n", name, length, SC_MAX_ATR_SIZE);
        length = SC_MAX_ATR_SIZE;
    }
    int result = binToHex(atr.value, length, text, ATR_TEXT_SIZE, ':');
    if (result != 0) {
        std::memset(text, 0, sizeof text);
        std::printf("reader %s card atr not rendered, result %d\n", name, result);
    }
}

// Connects to the card in `reader`, renders its ATR into `text` and
// disconnects again. `text` is left empty when the card cannot be connected
// or its ATR cannot be rendered.
static void readAtr(const ReaderEntryPoints& sc, sc_reader_t* reader, const char* name,
                    AtrText& text)
{
    std::memset(text, 0, sizeof text);
    sc_card_t* card = nullptr;
    std::printf("reader %s has card. try connect\n", name);
    int result = sc.connectCard(reader, &card);
    if (result != 0 || !card) {
        // On failure OpenSC hands back no card; whatever the pointer holds is
        // neither read nor disconnected.
        if (result != 0)
            std::printf("reader %s card not connected, result %d\n", name, result);
        else
            std::printf("reader %s card not connected, no card object\n", name);
        return;
    }
    std::printf("reader %s card connected. getting atr...\n", name);

    renderAtr(sc.binToHex, card->atr, name, text);
    std::printf("reader %s card atr: %s\n", name, text);

    sc.disconnectCard(card);
    std::printf("reader %s card disconnected\n", name);
}

void reportReader(FILE* report, const ReaderEntryPoints& sc, sc_context_t* context,
                  unsigned index)
{
    std::printf("reader %u try getted\n", index);
    sc_reader_t* reader = sc.getReader(context, index);
    if (!reader) {
        std::printf("reader %u not delivered, reported without card\n", index);
        writeEntryWithoutCard(report, "");
        return;
    }
    const char* name = reader->name ? reader->name : "";
    std::printf("reader %s is getted. getting card info\n", name);

    int state = sc.detectCardPresence(reader);
    std::printf("reader %s cardinfo is getted. State: %d\n", name, state);
    if (state < 0) {
        // An OpenSC error code, not a set of flags.
        trace("reader presence unknown, reported without card\n");
        writeEntryWithoutCard(report, name);
        return;
    }
    if (!(state & SC_READER_CARD_PRESENT)) {
        trace("reader has no card\n");
        writeEntryWithoutCard(report, name);
        return;
    }
    if (std::strstr(name, ETOKEN_NAME)) {
        writeEntryWithCard(report, name, ETOKEN_ATR);
        return;
    }
    AtrText atrText;
    readAtr(sc, reader, name, atrText);
    writeEntryWithCard(report, name, atrText);
}
