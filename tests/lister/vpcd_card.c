/*
 * A virtual smart card for the vpcd reader driver of pcscd.
 *
 * vpcd listens on a TCP port per reader; a card is "inserted" while a client
 * holds a connection to it. Both directions carry messages framed as a
 * two-byte big-endian length followed by the payload. A one-byte payload is
 * a control byte from the reader (0 power off, 1 power on, 2 reset, 4 send
 * the ATR); anything longer is a command APDU that gets a response APDU.
 *
 * This card answers the ATR request with the ATR given on the command line
 * and every APDU with one fixed status word, which is all the reader lister's
 * tests need: 90 00 lets OpenSC accept the card, 6D 00 makes it refuse it.
 *
 *   vpcd-card --port N --atr HEX [--sw HEX] [--log FILE] [--wait SECONDS]
 *
 * HEX is a run of hexadecimal byte pairs, optionally separated by ':' or ' '.
 * The card retries connecting for up to --wait seconds (default 10) so that it
 * can be started before pcscd has opened the port. It exits 0 when the reader
 * closes the connection and is otherwise stopped by a signal.
 */
#define _POSIX_C_SOURCE 200809L

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#include "hex.h"

enum { MAX_BYTES = 64, MAX_MESSAGE = 65535 };

static unsigned char atr[MAX_BYTES];
static size_t atrLength;
static unsigned char statusWord[MAX_BYTES] = {0x90, 0x00};
static size_t statusWordLength = 2;
static FILE *logFile;

static void usage(void)
{
    fprintf(stderr, "usage: vpcd-card --port N --atr HEX [--sw HEX] [--log FILE] [--wait SECONDS]\n");
    exit(2);
}

static void logLine(const char *what, const unsigned char *bytes, size_t length)
{
    if (!logFile)
        return;
    fputs(what, logFile);
    for (size_t i = 0; i < length; i++)
        fprintf(logFile, " %02x", bytes[i]);
    fputc('\n', logFile);
    fflush(logFile);
}

static int readFully(int fd, unsigned char *buffer, size_t length)
{
    while (length > 0) {
        ssize_t got = read(fd, buffer, length);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return -1;
        buffer += got;
        length -= (size_t)got;
    }
    return 0;
}

static int sendMessage(int fd, const unsigned char *payload, size_t length)
{
    unsigned char frame[2 + MAX_BYTES];
    frame[0] = (unsigned char)(length >> 8);
    frame[1] = (unsigned char)(length & 0xff);
    memcpy(frame + 2, payload, length);
    size_t total = 2 + length;
    const unsigned char *p = frame;
    while (total > 0) {
        ssize_t put = write(fd, p, total);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return -1;
        p += put;
        total -= (size_t)put;
    }
    return 0;
}

static int connectWithRetry(unsigned port, double waitSeconds)
{
    struct sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_port = htons((unsigned short)port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    const struct timespec pause = {0, 100 * 1000 * 1000};
    int attempts = (int)(waitSeconds * 10) + 1;
    for (int i = 0; i < attempts; i++) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0)
            return -1;
        if (connect(fd, (struct sockaddr *)&address, sizeof address) == 0) {
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return fd;
        }
        close(fd);
        nanosleep(&pause, NULL);
    }
    return -1;
}

int main(int argc, char **argv)
{
    unsigned port = 0;
    double waitSeconds = 10;
    int haveAtr = 0;

    for (int i = 1; i < argc; i++) {
        if (i + 1 >= argc)
            usage();
        const char *option = argv[i];
        const char *value = argv[++i];
        if (strcmp(option, "--port") == 0) {
            port = (unsigned)strtoul(value, NULL, 0);
        } else if (strcmp(option, "--atr") == 0) {
            long n = parseHexBytes(value, atr, sizeof atr);
            if (n < 0)
                usage();
            atrLength = (size_t)n;
            haveAtr = 1;
        } else if (strcmp(option, "--sw") == 0) {
            long n = parseHexBytes(value, statusWord, sizeof statusWord);
            if (n < 0)
                usage();
            statusWordLength = (size_t)n;
        } else if (strcmp(option, "--log") == 0) {
            logFile = fopen(value, "a");
            if (!logFile) {
                perror(value);
                return 2;
            }
        } else if (strcmp(option, "--wait") == 0) {
            waitSeconds = strtod(value, NULL);
        } else {
            usage();
        }
    }
    if (port == 0 || port > 65535 || !haveAtr)
        usage();

    int fd = connectWithRetry(port, waitSeconds);
    if (fd < 0) {
        fprintf(stderr, "vpcd-card: no reader listening on 127.0.0.1:%u\n", port);
        return 1;
    }
    logLine("inserted", NULL, 0);

    static unsigned char message[MAX_MESSAGE];
    for (;;) {
        unsigned char header[2];
        if (readFully(fd, header, 2) != 0)
            break;
        size_t length = (size_t)header[0] << 8 | header[1];
        if (readFully(fd, message, length) != 0)
            break;
        if (length == 1) {
            logLine("control", message, 1);
            if (message[0] == 4 && sendMessage(fd, atr, atrLength) != 0)
                break;
        } else {
            logLine("apdu", message, length);
            if (sendMessage(fd, statusWord, statusWordLength) != 0)
                break;
        }
    }
    logLine("removed", NULL, 0);
    close(fd);
    return 0;
}
