// The reader lister's entries, written against fake OpenSC entry points that
// the fuzz input scripts: up to eight readers, each of which may be missing,
// unnamed or named with any bytes, with any presence result, any outcome of
// connecting, an ATR length field of 0..255 or far beyond the 33-byte buffer,
// and a hex renderer that behaves like OpenSC's or like a hostile library.
//
// Checked for every reader: the entry is exactly the one the report format
// asks for (name up to its first zero, with quotes, backslashes and control
// bytes as "?", presence 0 or 1, the ATR text as the renderer left it, empty
// when rendering or connecting failed, the fixed text for eToken readers);
// no entry carries anything over from the reader before
// it; connecting is only tried for a present card that is not an eToken, with
// a null card pointer; no more than 33 ATR bytes are handed to the renderer,
// with a buffer of at most ATR_TEXT_SIZE characters; the ATR text never runs past what
// the renderer wrote, even when that has no terminating zero; a card is
// disconnected exactly when it was connected, after rendering, and never
// touched again (disconnecting frees it, so a late read is reported).
//
// Input layout, read front to back (bytes past the end read as zero):
//   byte 0        bit 0: no report stream (the writer must cope with null)
//   per reader, while input is left:
//     kind        bits 0-1: 0 missing, 1 unnamed, 2 or 3 named;
//                 bit 2: the eToken model name is put into the name at
//                 position (kind >> 4) modulo (length + 1);
//                 bit 3: the ATR length field is SIZE_MAX minus the length byte
//     length      name length, then that many name bytes (zeros allowed)
//     presence    4 bytes, little-endian, signed
//     connect     0 card, 1 success without card, 2 failure, 3 failure that
//                 still hands back a card
//     atr length  then 33 ATR bytes
//     renderer    0 like OpenSC, 1 like OpenSC with a partial text written
//                 before it fails, 2 fills the whole buffer with 'Z' and no
//                 zero, 3 writes part of a text and fails with its own code
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "reader_report.h"

namespace {

const char* const kEtokenName = "Aladdin eToken PRO USB 72K";
const char* const kEtokenAtr = "3b:d5:18:00:81:31:fe:7d:80:73:c8:21:10:f4";
const size_t kMaxReaders = 8;

struct Input {
    const uint8_t* data;
    size_t size;
    size_t pos = 0;
    bool left() const { return pos < size; }
    uint8_t byte() { return pos < size ? data[pos++] : 0; }
};

struct FakeReader {
    bool missing = false;
    std::vector<char> name;  // with its terminating zero; empty: unnamed
    sc_reader_t reader{};
    int presence = 0;
    uint8_t connect = 0;
    size_t atrLength = 0;
    unsigned char atr[SC_MAX_ATR_SIZE] = {};
    uint8_t renderer = 0;
};

// What the fakes see of the current run.
sc_context_t* const kContext = reinterpret_cast<sc_context_t*>(0x1000);
std::vector<FakeReader>* readers = nullptr;
size_t current = 0;
std::string calls;
sc_card_t* card = nullptr;          // the card handed out for the current reader
bool cardConnected = false;         // handed out with success
std::string rendered;               // what the renderer left, up to its first zero

sc_reader_t* fakeGetReader(sc_context_t* context, unsigned int index) {
    if (context != kContext || index != current) std::abort();
    calls += "get;";
    FakeReader& r = (*readers)[current];
    return r.missing ? nullptr : &r.reader;
}

int fakeDetect(sc_reader_t* reader) {
    if (reader != &(*readers)[current].reader) std::abort();
    calls += "detect;";
    return (*readers)[current].presence;
}

int fakeConnect(sc_reader_t* reader, sc_card_t** cardOut) {
    FakeReader& r = (*readers)[current];
    if (reader != &r.reader || cardOut == nullptr || *cardOut != nullptr || card != nullptr) std::abort();
    calls += "connect;";
    if (r.connect % 4 == 1) return 0;
    if (r.connect % 4 == 2) return -1300;
    card = static_cast<sc_card_t*>(std::calloc(1, sizeof(sc_card_t)));
    card->ctx = kContext;
    card->reader = reader;
    std::memcpy(card->atr.value, r.atr, sizeof r.atr);
    card->atr.len = r.atrLength;
    *cardOut = card;
    cardConnected = r.connect % 4 == 0;
    return cardConnected ? 0 : -1104;
}

// Lower-case hex pairs joined by the separator; true when they fit, with the
// partial text left in `out` as OpenSC's own loop leaves it when they do not.
bool openscHex(const unsigned char* in, size_t inLength, char* out, size_t outLength, int separator) {
    const size_t sepLength = separator > 0 ? 1 : 0;
    char* pos = out;
    char* const end = out + outLength;
    for (size_t n = 0; n < inLength; ++n) {
        if (pos + 3 + sepLength >= end) return false;
        if (n && sepLength) *pos++ = static_cast<char>(separator);
        std::snprintf(pos, 3, "%02x", in[n]);
        pos += 2;
    }
    *pos = '\0';
    return true;
}

int fakeBinToHex(const unsigned char* in, size_t inLength, char* out, size_t outLength, int separator) {
    const FakeReader& r = (*readers)[current];
    if (!cardConnected || in != card->atr.value) std::abort();
    if (inLength > SC_MAX_ATR_SIZE || outLength > ATR_TEXT_SIZE || separator != ':') std::abort();
    calls += "hex " + std::to_string(inLength) + ";";
    rendered.clear();
    switch (r.renderer % 4) {
    case 0:  // nothing written on failure
    case 1: {
        std::vector<char> scratch(outLength + 1, 'P');
        if (!openscHex(in, inLength, scratch.data(), outLength, separator)) {
            if (r.renderer % 4 == 1) std::memcpy(out, scratch.data(), outLength);
            return -1303;
        }
        std::memcpy(out, scratch.data(), outLength);
        rendered = scratch.data();
        return 0;
    }
    case 2:
        std::memset(out, 'Z', outLength);
        rendered.assign(outLength, 'Z');
        return 0;
    default:
        std::memset(out, 'Q', outLength / 2);
        return -1;
    }
}

int fakeDisconnect(sc_card_t* disconnected) {
    if (!cardConnected || disconnected != card) std::abort();
    calls += "disconnect;";
    std::free(card);
    card = nullptr;
    cardConnected = false;
    return 0;
}

const ReaderEntryPoints kEntryPoints = {fakeGetReader, fakeDetect, fakeConnect, fakeBinToHex, fakeDisconnect};

FakeReader readReader(Input& in) {
    FakeReader r;
    const uint8_t kind = in.byte();
    r.missing = kind % 4 == 0;
    const size_t length = in.byte();
    std::string name;
    for (size_t i = 0; i < length; ++i) name.push_back(static_cast<char>(in.byte()));
    if (kind & 4) name.insert((kind >> 4) % (length + 1), kEtokenName);
    // An exact-size block, so that a read past the terminator is reported.
    if (kind % 4 >= 2) r.name = std::vector<char>(name.c_str(), name.c_str() + name.size() + 1);
    uint32_t presence = 0;
    for (int i = 0; i < 4; ++i) presence |= static_cast<uint32_t>(in.byte()) << (8 * i);
    std::memcpy(&r.presence, &presence, sizeof presence);
    r.connect = in.byte();
    const uint8_t atrLength = in.byte();
    r.atrLength = (kind & 8) ? SIZE_MAX - atrLength : atrLength;
    for (unsigned char& b : r.atr) b = in.byte();
    r.renderer = in.byte();
    return r;
}

// A reader name as the report writes it: quotes, backslashes and control
// bytes as "?", so that no name can end its text or the line.
std::string reportedName(std::string name) {
    for (char& c : name) {
        const unsigned char b = static_cast<unsigned char>(c);
        if (b == '"' || b == '\\' || b < 0x20 || b == 0x7f) c = '?';
    }
    return name;
}

// The entry and the calls for reader `r`, as the report format asks; run
// after the reader was reported, since the ATR text is the renderer's.
void expect(const FakeReader& r, std::string& entry, std::string& expectedCalls) {
    expectedCalls = "get;";
    if (r.missing) {
        entry = "{readerName:\"\",cardPresence:0}";
        return;
    }
    expectedCalls += "detect;";
    const std::string name = r.name.empty() ? std::string() : std::string(r.name.data());
    if (r.presence < 0 || !(r.presence & 1)) {
        entry = "{readerName:\"" + reportedName(name) + "\",cardPresence:0}";
        return;
    }
    std::string atr;
    if (name.find(kEtokenName) != std::string::npos) {
        atr = kEtokenAtr;
    } else {
        expectedCalls += "connect;";
        if (r.connect % 4 == 0) {
            const size_t handed = r.atrLength < SC_MAX_ATR_SIZE ? r.atrLength : SC_MAX_ATR_SIZE;
            expectedCalls += "hex " + std::to_string(handed) + ";disconnect;";
            atr = rendered;
        }
    }
    entry = "{readerName:\"" + reportedName(name) + "\",cardPresence:1,atr:\"" + atr + "\"}";
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The writer traces every step; nobody reads it here.
    if (!std::freopen("/dev/null", "w", stdout)) std::abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in{data, size};
    const bool noReport = in.byte() & 1;
    std::vector<FakeReader> scripted;
    while (in.left() && scripted.size() < kMaxReaders) scripted.push_back(readReader(in));
    for (FakeReader& r : scripted)
        r.reader.name = r.name.empty() ? nullptr : r.name.data();
    readers = &scripted;

    char* buffer = nullptr;
    size_t length = 0;
    FILE* report = noReport ? nullptr : open_memstream(&buffer, &length);
    if (!noReport && !report) std::abort();

    std::string expectedReport;
    for (current = 0; current < scripted.size(); ++current) {
        calls.clear();
        rendered.clear();
        reportReader(report, kEntryPoints, kContext, static_cast<unsigned>(current));
        if (cardConnected) std::abort();  // connected and never disconnected
        std::string entry, expectedCalls;
        expect(scripted[current], entry, expectedCalls);
        if (calls != expectedCalls) std::abort();
        expectedReport += entry;
        if (card) {  // handed back with a failure: the writer must leave it alone
            std::free(card);
            card = nullptr;
        }
    }

    if (report) {
        std::fclose(report);
        if (std::string(buffer, length) != expectedReport) std::abort();
    }
    std::free(buffer);
    readers = nullptr;
    return 0;
}
