// An OpenSC double whose every answer comes from the fuzz input (fuzz_script.h):
// the context result, the reader count, each reader record and its name,
// presence results, connect results, ATR lengths and bytes, and the hex
// renderer's result; any call may end the run. The record names, reader by
// reader, what the lister was handed: the lister's report is checked against it.
#include "fuzz_script.h"

#include "opensc_abi.h"

#include <string>
#include <vector>

namespace fs = fuzz_script;

// Built a second time (FUZZ_NO_EXPORTS) as a library that has none of the
// functions the lister looks for.
#ifdef FUZZ_NO_EXPORTS
#define EXPORT __attribute__((visibility("hidden")))
#else
#define EXPORT __attribute__((visibility("default")))
#endif

namespace {
// The context is never looked into; any address serves.
char contextBlock[64];

struct Reader {
    sc_reader_t record;
    std::string name;
};
// Never destroyed: the records stay reachable after static destructors ran.
std::vector<Reader*>& readers = *new std::vector<Reader*>();

struct Card {
    sc_card_t record;
    bool connected;
};
// Every record handed out stays reachable until the process ends, as OpenSC's do.
std::vector<Card*>& cards = *new std::vector<Card*>();

const char* const NAMES[] = {"ACS ACR 38U-CCID 00 00", "Aladdin eToken PRO USB 72K 00 00",
                             "", "quote \" and backslash \\", "line\nfeed", "tab\tand\x7f",
                             "Virtual PCD 00 00", "ARDS JaCarta 00 00"};

// 0x00-0xDF a plain result (0 for 0x00-0x7F, then OpenSC's error codes),
// 0xE0-0xEF the run ends here, 0xF0 and above four bytes as they stand.
int result(const char* call, uint8_t fallback = 0)
{
    uint8_t b = fs::next(fallback);
    int value = 0;
    if (b >= 0x80 && b < 0xE0)
        value = -1100 - (b - 0x80) * 7 % 300;
    else if (b >= 0xE0 && b < 0xF0) {
        fs::write(std::string("call ") + call);
        fs::endRun(b - 0xE0);
    } else if (b >= 0xF0)
        value = static_cast<int>(fs::number(4));
    return value;
}
} // namespace

extern "C" {
EXPORT int sc_context_create(sc_context_t** ctx, const sc_context_param_t*)
{
    int rv = result("sc_context_create");
    uint8_t b = fs::next(0);
    if (ctx && b < 0xF0)
        *ctx = b < 0x80 ? reinterpret_cast<sc_context_t*>(contextBlock) : nullptr;
    fs::write("context " + std::to_string(rv) + " " + (ctx && *ctx ? "1" : "0"));
    return rv;
}

EXPORT unsigned int sc_ctx_get_reader_count(sc_context_t*)
{
    static const unsigned COUNTS[] = {1, 0, 2, 3, 5, 1023, 1024, 1025, 0xFFFFFFFFu, 8, 1, 2, 4, 1, 0, 1};
    result("sc_ctx_get_reader_count");
    unsigned count = COUNTS[fs::next(0) & 15];
    fs::write("count " + std::to_string(count));
    return count;
}

// A reader record that lives to the end of the run, or none; its name from
// the table, raw script bytes, or none at all.
EXPORT sc_reader_t* sc_ctx_get_reader(sc_context_t*, unsigned int index)
{
    result("sc_ctx_get_reader");
    uint8_t b = fs::next(static_cast<uint8_t>(index & 7));
    if (b >= 0xF0) {
        fs::write("reader " + std::to_string(index) + " none");
        return nullptr;
    }
    Reader* r = new Reader();
    std::memset(&r->record, 0, sizeof r->record);
    r->record.ctx = reinterpret_cast<sc_context_t*>(contextBlock);
    readers.push_back(r);
    if (b >= 0xE0) {
        fs::write("reader " + std::to_string(index) + " unnamed");
        return &r->record;
    }
    if (b >= 0xC0) {
        char raw[200];
        size_t n = fs::take(raw, (b - 0xC0) * 6u + 1);
        r->name.assign(raw, n);
        r->name = r->name.c_str(); // up to the first zero byte, as C reads it
    } else {
        r->name = NAMES[b % (sizeof NAMES / sizeof NAMES[0])];
    }
    r->record.name = &r->name[0];
    fs::write("reader " + std::to_string(index) + " name " + fs::hex(r->name.data(), r->name.size()));
    return &r->record;
}

EXPORT int sc_detect_card_presence(sc_reader_t*)
{
    uint8_t b = fs::next(0);
    int state = b < 0x40 ? 1 : b < 0x60 ? 0 : b < 0x70 ? -1104 : b < 0x80 ? (b << 1) : b < 0xE0 ? b - 0x80 + 1 : result("sc_detect_card_presence", b);
    fs::write("presence " + std::to_string(state));
    return state;
}

// The card: its ATR length field as OpenSC would fill it, or past the
// array, and its bytes from one script byte.
EXPORT int sc_connect_card(sc_reader_t* reader, sc_card_t** card)
{
    int rv = result("sc_connect_card");
    uint8_t give = fs::next(0);
    if (!card)
        return rv;
    if (give >= 0xF0) {
        fs::write("connect " + std::to_string(rv) + " untouched");
        return rv;
    }
    if (give >= 0xE0) {
        *card = nullptr;
        fs::write("connect " + std::to_string(rv) + " none");
        return rv;
    }
    Card* c = new Card();
    std::memset(&c->record, 0, sizeof c->record);
    c->record.reader = reader;
    c->connected = true;
    cards.push_back(c);
    uint8_t length = fs::next(12);
    c->record.atr.len = length < 0x80 ? length % (SC_MAX_ATR_SIZE + 1)
                                      : length < 0xC0 ? length : static_cast<size_t>(fs::number(4)) * 0x10001u;
    fs::fill(c->record.atr.value, sizeof c->record.atr.value, fs::next(0));
    *card = &c->record;
    size_t shown = c->record.atr.len < SC_MAX_ATR_SIZE ? c->record.atr.len : SC_MAX_ATR_SIZE;
    fs::write("connect " + std::to_string(rv) + " atr " + fs::hex(c->record.atr.value, shown));
    return rv;
}

// OpenSC's renderer: hex pairs joined by the separator, into at most
// out_len bytes with the terminator, or its buffer-too-small error; the
// script may make it fail anyway, or claim success with nothing written.
EXPORT int sc_bin_to_hex(const unsigned char* in, size_t in_len, char* out,
                                                       size_t out_len, int separator)
{
    int rv = result("sc_bin_to_hex");
    size_t need = in_len ? in_len * 3 : 1;
    if (rv == 0) {
        if (separator <= 0)
            need = 2 * in_len + 1;
        if (need > out_len) {
            rv = -1111; // SC_ERROR_BUFFER_TOO_SMALL
        } else {
            static const char digits[] = "0123456789ABCDEF";
            char* p = out;
            for (size_t i = 0; i < in_len; ++i) {
                if (i && separator > 0)
                    *p++ = static_cast<char>(separator);
                *p++ = digits[in[i] >> 4];
                *p++ = digits[in[i] & 15];
            }
            *p = 0;
        }
    }
    fs::write("render " + std::to_string(rv) + " " + (rv == 0 ? fs::hex(out, std::strlen(out)) : "-"));
    return rv;
}

EXPORT int sc_disconnect_card(sc_card_t* card)
{
    Card* c = reinterpret_cast<Card*>(card);
    fs::write(c && c->connected ? "disconnect" : "disconnect-unknown");
    if (c)
        c->connected = false;
    return result("sc_disconnect_card");
}
}
