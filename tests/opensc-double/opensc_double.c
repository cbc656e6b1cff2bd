/*
 * A scriptable stand-in for OpenSC's reader layer.
 *
 * It exports the seven sc_ functions the reader lister binds, plays the
 * readers, cards and results described in the file named by TEST_MODULE_CONF
 * (format: README.md beside this file) and logs every call, one line each,
 * to the file named by TEST_MODULE_LOG. Log lines name objects by role
 * ("context", "reader 1", "card 0") instead of printing pointers, so a log is
 * the same in every ABI and every run.
 *
 * The objects use the structure layouts the lister declares for OpenSC
 * (lister/opensc_abi.h); only the leading fields exist, which is all the
 * lister may touch.
 */
#define _POSIX_C_SOURCE 200809L

#include "opensc_abi.h"

#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>
#include "hex.h"

/* OpenSC's error codes that the double reproduces. */
#define SC_SUCCESS 0
#define SC_ERROR_INVALID_ARGUMENTS (-1300)
#define SC_ERROR_BUFFER_TOO_SMALL (-1303)

enum { MAX_READERS = 16, MAX_NAME = 1024, MAX_LINE = 4096 };

/* The context handed out; its content does not matter, its address does. */
struct sc_context {
    int unused;
};

typedef enum { READER_NAMED, READER_UNNAMED, READER_NULL } ReaderKind;

typedef struct {
    ReaderKind kind;
    char name[MAX_NAME];
    int presence;
    unsigned char atr[SC_MAX_ATR_SIZE];
    size_t atrBytes;
    long atrLen;           /* what card->atr.len says; -1: atrBytes */
    int connectResult;
    int cardGiven;         /* -1: when connectResult is 0 */
} ReaderScript;

static int contextResult = 0;
static int contextGiven = -1; /* -1: when contextResult is 0 */
static ReaderScript scripts[MAX_READERS];
static unsigned readerCount = 0;
static int readersClaimed = 0;   /* whether sc_ctx_get_reader_count says claimedReaders */
static unsigned claimedReaders = 0;
static char crashIn[64] = "";    /* the function that crashes instead of answering */
static char exitIn[64] = "";     /* the function that exits instead of answering */
static int exitStatus = 0;
static char chdirIn[64] = "";    /* the function that changes the working directory first */
static char chdirTo[MAX_LINE] = "";

static struct sc_context theContext;
static sc_reader_t readers[MAX_READERS];
static sc_card_t cards[MAX_READERS];

static FILE *logFile = NULL;

static void logLine(const char *format, ...)
{
    if (!logFile)
        return;
    va_list args;
    va_start(args, format);
    vfprintf(logFile, format, args);
    va_end(args);
    fputc('\n', logFile);
    fflush(logFile);
}

static void fail(unsigned lineNumber, const char *what)
{
    fprintf(stderr, "opensc-double: TEST_MODULE_CONF line %u: %s\n", lineNumber, what);
    abort();
}

/* Copies `text` into `out`, turning \xHH into that byte and \\ into "\". */
static void parseName(const char *text, char *out, unsigned lineNumber)
{
    size_t n = 0;
    while (*text) {
        char c = *text++;
        if (c == '\\') {
            if (*text == '\\') {
                c = '\\';
                text++;
            } else if (*text == 'x' && hexDigit(text[1]) >= 0 && hexDigit(text[2]) >= 0) {
                c = (char)(hexDigit(text[1]) * 16 + hexDigit(text[2]));
                text += 3;
            } else {
                fail(lineNumber, "bad escape in reader name (use \\xHH or \\\\)");
            }
        }
        if (n + 1 >= MAX_NAME)
            fail(lineNumber, "reader name too long");
        out[n++] = c;
    }
    out[n] = '\0';
}

static void parseAtr(const char *text, ReaderScript *script, unsigned lineNumber)
{
    long n = parseHexBytes(text, script->atr, SC_MAX_ATR_SIZE);
    if (n == HEX_BAD_DIGIT)
        fail(lineNumber, "bad hex in atr");
    if (n == HEX_TOO_LONG)
        fail(lineNumber, "atr longer than 33 bytes (use atr-len for a hostile length)");
    script->atrBytes = (size_t)n;
}

static long parseNumber(const char *text, unsigned lineNumber)
{
    char *end = NULL;
    long value = strtol(text, &end, 0);
    if (end == text || *end != '\0')
        fail(lineNumber, "expected a number");
    return value;
}

static int parseYesNo(const char *text, unsigned lineNumber)
{
    if (strcmp(text, "yes") == 0)
        return 1;
    if (strcmp(text, "no") == 0)
        return 0;
    fail(lineNumber, "expected yes or no");
    return 0;
}

static ReaderScript *addReader(ReaderKind kind, unsigned lineNumber)
{
    if (readerCount == MAX_READERS)
        fail(lineNumber, "too many readers");
    ReaderScript *script = &scripts[readerCount++];
    memset(script, 0, sizeof *script);
    script->kind = kind;
    script->atrLen = -1;
    script->cardGiven = -1;
    return script;
}

static void loadDescription(const char *path)
{
    FILE *f = fopen(path, "r");
    if (!f) {
        fprintf(stderr, "opensc-double: cannot open TEST_MODULE_CONF %s\n", path);
        abort();
    }
    char line[MAX_LINE];
    unsigned lineNumber = 0;
    ReaderScript *current = NULL;
    while (fgets(line, sizeof line, f)) {
        lineNumber++;
        size_t length = strlen(line);
        if (length > 0 && line[length - 1] == '\n')
            line[--length] = '\0';
        if (length > 0 && line[length - 1] == '\r')
            line[--length] = '\0';
        if (length == 0 || line[0] == '#')
            continue;

        /* The keyword, then one space, then the value as written. */
        char *value = strchr(line, ' ');
        if (value)
            *value++ = '\0';
        else
            value = line + length;
        const char *keyword = line;

        if (strcmp(keyword, "reader-count") == 0) {
            char *end = NULL;
            unsigned long claimed = strtoul(value, &end, 0);
            if (end == value || *end != '\0' || claimed > 0xFFFFFFFFUL)
                fail(lineNumber, "reader-count needs a number up to 0xFFFFFFFF");
            claimedReaders = (unsigned)claimed;
            readersClaimed = 1;
        } else if (strcmp(keyword, "crash") == 0) {
            if (strlen(value) == 0 || strlen(value) >= sizeof crashIn)
                fail(lineNumber, "crash needs a function name");
            strcpy(crashIn, value);
        } else if (strcmp(keyword, "exit") == 0 || strcmp(keyword, "chdir") == 0) {
            /* NAME, one space, then the status or the folder. */
            char *argument = strchr(value, ' ');
            if (!argument || argument == value || (size_t)(argument - value) >= sizeof exitIn ||
                argument[1] == '\0')
                fail(lineNumber, "exit needs a function name and a status, chdir a name and a folder");
            *argument++ = '\0';
            if (keyword[0] == 'e') {
                strcpy(exitIn, value);
                exitStatus = (int)parseNumber(argument, lineNumber);
            } else {
                strcpy(chdirIn, value);
                strcpy(chdirTo, argument);
            }
        } else if (strcmp(keyword, "context-result") == 0) {
            contextResult = (int)parseNumber(value, lineNumber);
        } else if (strcmp(keyword, "context") == 0) {
            contextGiven = parseYesNo(value, lineNumber);
        } else if (strcmp(keyword, "reader") == 0) {
            current = addReader(READER_NAMED, lineNumber);
            parseName(value, current->name, lineNumber);
        } else if (strcmp(keyword, "reader-unnamed") == 0) {
            current = addReader(READER_UNNAMED, lineNumber);
        } else if (strcmp(keyword, "reader-null") == 0) {
            current = addReader(READER_NULL, lineNumber);
        } else if (!current || current->kind == READER_NULL) {
            fail(lineNumber, "reader setting without a reader");
        } else if (strcmp(keyword, "presence") == 0) {
            current->presence = (int)parseNumber(value, lineNumber);
        } else if (strcmp(keyword, "atr") == 0) {
            parseAtr(value, current, lineNumber);
        } else if (strcmp(keyword, "atr-len") == 0) {
            current->atrLen = parseNumber(value, lineNumber);
            if (current->atrLen < 0)
                fail(lineNumber, "atr-len must not be negative");
        } else if (strcmp(keyword, "connect-result") == 0) {
            current->connectResult = (int)parseNumber(value, lineNumber);
        } else if (strcmp(keyword, "card") == 0) {
            current->cardGiven = parseYesNo(value, lineNumber);
        } else {
            fail(lineNumber, "unknown keyword");
        }
    }
    fclose(f);
}

/* Builds the reader and card objects from the description. */
static void buildObjects(void)
{
    for (unsigned i = 0; i < readerCount; i++) {
        ReaderScript *script = &scripts[i];
        readers[i].ctx = &theContext;
        readers[i].name = script->kind == READER_NAMED ? script->name : NULL;

        cards[i].ctx = &theContext;
        cards[i].reader = &readers[i];
        memcpy(cards[i].atr.value, script->atr, script->atrBytes);
        cards[i].atr.len = script->atrLen >= 0 ? (size_t)script->atrLen : script->atrBytes;
    }
}

/* What the description scripts for the function `name` ("load": while the
 * library is being loaded): a change of the working directory first; then
 * `exit` logs that and exits, and `crash` logs that and dies of SIGSEGV,
 * whatever handler the process has installed. */
static void actIfScripted(const char *name)
{
    if (strcmp(chdirIn, name) == 0 && chdir(chdirTo) != 0)
        fprintf(stderr, "opensc-double: cannot change to %s\n", chdirTo);
    if (strcmp(exitIn, name) == 0) {
        logLine("%s: exit(%d)", name, exitStatus);
        exit(exitStatus);
    }
    if (strcmp(crashIn, name) != 0)
        return;
    logLine("%s: SIGSEGV", name);
    signal(SIGSEGV, SIG_DFL);
    raise(SIGSEGV);
    _exit(128 + SIGSEGV);
}

__attribute__((constructor)) static void startDouble(void)
{
    const char *logPath = getenv("TEST_MODULE_LOG");
    if (logPath && *logPath) {
        /* Created at load time, so an empty log means "loaded, never called". */
        logFile = fopen(logPath, "a");
        if (!logFile) {
            fprintf(stderr, "opensc-double: cannot open TEST_MODULE_LOG %s\n", logPath);
            abort();
        }
    }
    const char *confPath = getenv("TEST_MODULE_CONF");
    if (confPath && *confPath)
        loadDescription(confPath);
    buildObjects();
    actIfScripted("load");
}


/* Role names for pointers the lister hands back. */
static const char *describeContext(const sc_context_t *ctx)
{
    if (!ctx)
        return "null";
    return ctx == &theContext ? "context" : "unknown";
}

static const char *describeReader(const sc_reader_t *reader, char *buffer, size_t size)
{
    if (!reader)
        return "null";
    for (unsigned i = 0; i < readerCount; i++) {
        if (reader == &readers[i] && scripts[i].kind != READER_NULL) {
            snprintf(buffer, size, "reader %u", i);
            return buffer;
        }
    }
    return "unknown";
}

static const char *describeCard(const sc_card_t *card, char *buffer, size_t size)
{
    if (!card)
        return "null";
    for (unsigned i = 0; i < readerCount; i++) {
        if (card == &cards[i]) {
            snprintf(buffer, size, "card %u", i);
            return buffer;
        }
    }
    return "unknown";
}

static const char *describeAtr(const unsigned char *in, char *buffer, size_t size)
{
    if (!in)
        return "null";
    for (unsigned i = 0; i < readerCount; i++) {
        if (in == cards[i].atr.value) {
            snprintf(buffer, size, "atr of card %u", i);
            return buffer;
        }
    }
    return "unknown";
}

static int readerIndex(const sc_reader_t *reader)
{
    for (unsigned i = 0; i < readerCount; i++)
        if (reader == &readers[i] && scripts[i].kind != READER_NULL)
            return (int)i;
    return -1;
}

int sc_context_create(sc_context_t **ctx, const sc_context_param_t *parm)
{
    actIfScripted("sc_context_create");
    int given = contextGiven >= 0 ? contextGiven : contextResult == 0;
    if (!parm) {
        logLine("sc_context_create(params=null) = %d, %s", contextResult,
                given ? "context" : "no context");
    } else {
        // Everything a newer OpenSC may read after the fields we know.
        int reserveZero = 1;
        for (size_t i = 0; i < sizeof parm->reserve / sizeof parm->reserve[0]; i++)
            reserveZero &= parm->reserve[i] == NULL;
        logLine("sc_context_create(ver=%u, app_name=%s%s%s, flags=%lu, thread_ctx=%s, debug=%d, "
                "debug_file=%s, reserve=%s) = %d, %s",
                parm->ver, parm->app_name ? "\"" : "", parm->app_name ? parm->app_name : "null",
                parm->app_name ? "\"" : "", parm->flags, parm->thread_ctx ? "set" : "null",
                parm->debug, parm->debug_file ? "set" : "null", reserveZero ? "zero" : "set",
                contextResult, given ? "context" : "no context");
    }
    if (ctx && given)
        *ctx = &theContext;
    return contextResult;
}

unsigned int sc_ctx_get_reader_count(sc_context_t *ctx)
{
    actIfScripted("sc_ctx_get_reader_count");
    unsigned count = ctx != &theContext ? 0 : readersClaimed ? claimedReaders : readerCount;
    logLine("sc_ctx_get_reader_count(%s) = %u", describeContext(ctx), count);
    return count;
}

sc_reader_t *sc_ctx_get_reader(sc_context_t *ctx, unsigned int i)
{
    actIfScripted("sc_ctx_get_reader");
    sc_reader_t *reader = NULL;
    if (ctx == &theContext && i < readerCount && scripts[i].kind != READER_NULL)
        reader = &readers[i];
    char buffer[32];
    logLine("sc_ctx_get_reader(%s, %u) = %s", describeContext(ctx), i,
            describeReader(reader, buffer, sizeof buffer));
    return reader;
}

int sc_detect_card_presence(sc_reader_t *reader)
{
    actIfScripted("sc_detect_card_presence");
    int index = readerIndex(reader);
    int result = index >= 0 ? scripts[index].presence : SC_ERROR_INVALID_ARGUMENTS;
    char buffer[32];
    logLine("sc_detect_card_presence(%s) = %d", describeReader(reader, buffer, sizeof buffer),
            result);
    return result;
}

int sc_connect_card(sc_reader_t *reader, sc_card_t **card)
{
    actIfScripted("sc_connect_card");
    char readerText[32], cardText[32];
    int index = readerIndex(reader);
    const char *before = !card ? "card=none" : *card ? "card=set" : "card=null";
    if (index < 0 || !card) {
        logLine("sc_connect_card(%s, %s) = %d, no card",
                describeReader(reader, readerText, sizeof readerText), before,
                SC_ERROR_INVALID_ARGUMENTS);
        return SC_ERROR_INVALID_ARGUMENTS;
    }
    ReaderScript *script = &scripts[index];
    int given = script->cardGiven >= 0 ? script->cardGiven : script->connectResult == 0;
    if (given)
        *card = &cards[index];
    logLine("sc_connect_card(%s, %s) = %d, %s",
            describeReader(reader, readerText, sizeof readerText), before,
            script->connectResult,
            given ? describeCard(&cards[index], cardText, sizeof cardText) : "no card");
    return script->connectResult;
}

/* As OpenSC does it: lower-case hex pairs joined by the separator (none when
 * it is not positive), terminated; nothing is written unless it all fits. */
int sc_bin_to_hex(const unsigned char *in, size_t in_len, char *out, size_t out_len,
                  int separator)
{
    actIfScripted("sc_bin_to_hex");
    char atrText[32];
    int result = SC_SUCCESS;
    size_t needed = in_len * 2 + 1;
    if (separator > 0 && in_len > 0)
        needed += in_len - 1;
    if ((!in && in_len > 0) || !out)
        result = SC_ERROR_INVALID_ARGUMENTS;
    else if (out_len < needed)
        result = SC_ERROR_BUFFER_TOO_SMALL;

    if (separator > 32 && separator < 127)
        logLine("sc_bin_to_hex(%s, %zu, out_len=%zu, sep='%c') = %d",
                describeAtr(in, atrText, sizeof atrText), in_len, out_len, separator, result);
    else
        logLine("sc_bin_to_hex(%s, %zu, out_len=%zu, sep=%d) = %d",
                describeAtr(in, atrText, sizeof atrText), in_len, out_len, separator, result);
    if (result != SC_SUCCESS)
        return result;

    char *pos = out;
    for (size_t n = 0; n < in_len; n++) {
        if (n > 0 && separator > 0)
            *pos++ = (char)separator;
        snprintf(pos, 3, "%02x", in[n]);
        pos += 2;
    }
    *pos = '\0';
    return SC_SUCCESS;
}

int sc_disconnect_card(sc_card_t *card)
{
    actIfScripted("sc_disconnect_card");
    char buffer[32];
    const char *who = describeCard(card, buffer, sizeof buffer);
    int known = strncmp(who, "card ", 5) == 0;
    logLine("sc_disconnect_card(%s) = %d", who, known ? SC_SUCCESS : SC_ERROR_INVALID_ARGUMENTS);
    if (!known)
        return SC_ERROR_INVALID_ARGUMENTS;
    /* A disconnected card is gone: spoil its ATR so a late read shows. */
    memset(card->atr.value, 0xee, sizeof card->atr.value);
    card->atr.len = SC_MAX_ATR_SIZE;
    return SC_SUCCESS;
}
