// Whole runs of a real program against a library that plays from the fuzz
// input, judged by what the host would see.
//
//   whole-run --variant tovrel|marbek|quillet --program PATH --modules DIR INPUT...
//
// Each INPUT (a file, or every file of a folder) is one run: a fresh working
// folder with the host's files, the program started there as the host starts
// it, and the library (DIR's p11fuzz, p11fuzz-listed or scfuzz) answering from
// the input. The input's first bytes are the host's side (see Host below), the
// rest is the library's script (fuzz_script.h). After the run:
//   - the program ended by itself, with status 0 or 1, unless the library
//     ended the run;
//   - status 0 leaves exactly one well-formed answer: an error whose code the
//     library returned or is one of the program's own, or a success made of
//     what the library handed back with CKR_OK (the same certificate bytes
//     with their SHA-1, in order; the same signature bytes for the request's
//     digest); quillet's report names what OpenSC handed back, reader by reader;
//   - status 1 leaves no answer, and a run the library ended leaves none but
//     one of this run's own;
//   - an earlier run's answer never stands; no draft is left; nothing outside
//     the working folder is touched; --check changes nothing at all; the PIN
//     reaches only the module.
// A broken rule is reported on stderr and ends the driver with abort, so that
// a fuzzer records it as it records a crash. Built with afl-clang-fast, the
// driver starts the fork server once its fixed setup is done, and the
// instrumented program it starts writes its coverage into the same map.
#include <openssl/evp.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <sched.h>

namespace {
enum class Variant { Tovrel, Marbek, Quillet };

Variant variant;
std::string program;
std::string base; // the driver's own folder: plugin folders and the runs
bool privateOpt = false;
long timeoutMs = 10000;

const char* const LISSI_DIR = "/opt/lissi-crypto/lircryptoki_fs/lib";
const char* const LISSI_PATH = "/opt/lissi-crypto/lircryptoki_fs/lib/liblircryptoki_fs.so";
const char* const PLUGIN_DIR_FILE = "vn_api_currplugDir.txt";
const char* const FLAG_FILE = "VELNOR_VIVIRAV_NOTDELETE_LOGS.FLAG";
const char* const STALE_ANSWER = "Result=0\nError=OK\nSignedData=c3RhbGUgYW5zd2VyIG9mIGFuIGVhcmxpZXIgcnVu";

const char* const READER_NAMES[] = {"JaCarta", "", "Rutoken", "\"quoted\" \\ name"};
const char* const PINS[] = {"Pq7#xZ", "Pq7#xZ-0123456789ab", "Pq7#xZ-0123456789abc", ""};

[[noreturn]] void usage(const char* problem)
{
    std::fprintf(stderr, "whole-run: %s\nusage: whole-run --variant tovrel|marbek|quillet --program PATH "
                         "--modules DIR INPUT...\n",
                 problem);
    std::exit(2);
}

std::string readFile(const std::string& path, bool* present = nullptr)
{
    std::ifstream in(path, std::ios::binary);
    if (present)
        *present = static_cast<bool>(in);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

bool writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

// The names in a folder, each with its content (empty for anything else
// than a regular file).
std::map<std::string, std::string> folderContents(const std::string& path)
{
    std::map<std::string, std::string> entries;
    if (DIR* d = ::opendir(path.c_str())) {
        while (dirent* e = ::readdir(d)) {
            std::string name = e->d_name;
            if (name == "." || name == "..")
                continue;
            struct stat st;
            std::string full = path + "/" + name;
            bool regular = ::lstat(full.c_str(), &st) == 0 && S_ISREG(st.st_mode);
            entries[name] = regular ? readFile(full) : "<not a regular file>";
        }
        ::closedir(d);
    }
    return entries;
}

void removeTree(const std::string& path)
{
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode)) {
        ::chmod(path.c_str(), 0700);
        for (auto& entry : folderContents(path))
            removeTree(path + "/" + entry.first);
        ::rmdir(path.c_str());
    } else {
        ::unlink(path.c_str());
    }
}

std::string unhex(const std::string& text)
{
    std::string bytes;
    if (text == "-")
        return bytes;
    for (size_t i = 0; i + 1 < text.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16)));
    return bytes;
}

// Strict Base64 with padding; false for anything else.
bool decodeBase64(const std::string& text, std::string& bytes)
{
    if (text.size() % 4 != 0)
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        bool alphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                        c == '+' || c == '/';
        bool padding = c == '=' && i + 2 >= text.size() && (i + 1 == text.size() || text[i + 1] == '=');
        if (!alphabet && !padding)
            return false;
    }
    std::string out(text.size() / 4 * 3 + 1, '\0');
    int n = text.empty() ? 0
                         : EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                           reinterpret_cast<const unsigned char*>(text.data()),
                                           static_cast<int>(text.size()));
    if (n < 0)
        return false;
    size_t pad = text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : !text.empty() && text.back() == '=' ? 1 : 0;
    out.resize(static_cast<size_t>(n) - pad);
    bytes = out;
    return true;
}

std::string encodeBase64(const std::string& bytes)
{
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                            reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string sha1Hex(const std::string& bytes)
{
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char b : digest) {
        text.push_back(digits[b >> 4]);
        text.push_back(digits[b & 15]);
    }
    return text;
}

// The host's side of one input: its first bytes, zero where the input is shorter.
//   byte 0: bits 0-1 the command (getCertList, readTokenCert, signDocumentRaw,
//           --check; quillet: 3 is --check, anything else a run), bit 2 the
//           list-only module (quillet: a library without the sc_ functions), bit 3 an earlier run's answer in the folder,
//           bit 4 the diagnostics flag file, bit 5 a command word the bridge
//           does not know (quillet: the LISSI module installed);
//   byte 1: the reader name (READER_NAMES); byte 2: the PIN (PINS);
//   byte 3: bits 0-1 the digest: 0 or 1 the 32 bytes after the header,
//           2 a text that is no digest, 3 no fourth line;
//   bytes 4-35: the digest. The library's script follows.
const size_t HEADER_SIZE = 36;

struct Host {
    int command = 0;
    bool check = false;
    bool listed = false;
    bool earlierAnswer = false;
    bool flagFile = false;
    bool unknownCommand = false;
    bool lissi = false;
    std::string readerName;
    std::string pin;
    int digestMode = 0;
    std::string digest;
    std::string script;
};

Host readHost(const std::string& input)
{
    std::string header = input.substr(0, HEADER_SIZE);
    header.resize(HEADER_SIZE, '\0');
    Host host;
    unsigned b0 = static_cast<unsigned char>(header[0]);
    host.command = b0 & 3;
    host.check = host.command == 3;
    host.listed = b0 & 4;
    host.earlierAnswer = b0 & 8;
    host.flagFile = b0 & 16;
    host.unknownCommand = variant != Variant::Quillet && (b0 & 32);
    host.lissi = variant == Variant::Quillet && (b0 & 32);
    host.readerName = READER_NAMES[static_cast<unsigned char>(header[1]) % 4];
    host.pin = PINS[static_cast<unsigned char>(header[2]) % 4];
    host.digestMode = static_cast<unsigned char>(header[3]) & 3;
    host.digest = header.substr(4, 32);
    host.script = input.size() > HEADER_SIZE ? input.substr(HEADER_SIZE) : std::string();
    return host;
}

const char* requestName() { return variant == Variant::Tovrel ? "tovrel_in.txt" : "marbek_in.txt"; }
const char* answerName()
{
    return variant == Variant::Tovrel ? "tovrel_out.txt" : variant == Variant::Marbek ? "marbek_out.txt" : "quillet_out.txt";
}

std::string requestText(const Host& host)
{
    static const char* const COMMANDS[] = {"getCertList", "readTokenCert", "signDocumentRaw"};
    // --check reads the command word and the reader name only.
    std::string text = host.unknownCommand ? "getCertLis" : COMMANDS[host.command % 3];
    text += "\n" + host.readerName + "\n" + host.pin;
    if (host.digestMode < 2)
        text += "\n" + encodeBase64(host.digest);
    else if (host.digestMode == 2)
        text += "\nnot a digest";
    return text + "\n";
}

// What one run left.
struct Outcome {
    bool timedOut = false;
    int status = -1; // exit status, or -1 for a signal
    int signal = 0;
    std::vector<std::string> record;
    std::string output; // stdout and stderr
};

struct Verdict {
    std::vector<std::string> broken;
    void check(bool holds, const std::string& rule)
    {
        if (!holds)
            broken.push_back(rule);
    }
};

Outcome start(const std::string& work, const std::string& control, bool check)
{
    Outcome outcome;
    std::string record = control + "/record";
    std::string script = control + "/script";
    std::string out = control + "/output";
    pid_t pid = ::fork();
    if (pid < 0) {
        std::perror("whole-run: fork");
        std::exit(2);
    }
    if (pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        ::setenv("FUZZ_SCRIPT", script.c_str(), 1);
        ::setenv("FUZZ_RECORD", record.c_str(), 1);
        int in = ::open("/dev/null", O_RDONLY);
        int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || o < 0 || ::dup2(in, 0) < 0 || ::dup2(o, 1) < 0 || ::dup2(o, 2) < 0)
            ::_exit(125);
        // The fuzzer's fork-server descriptors and everything else stay behind.
        for (int fd = 3; fd < 1024; ++fd)
            ::close(fd);
        if (::chdir(work.c_str()) != 0)
            ::_exit(125);
        const char* argv[] = {program.c_str(), check ? "--check" : nullptr, nullptr};
        ::execv(program.c_str(), const_cast<char* const*>(argv));
        ::_exit(126);
    }
    sigset_t childEnded;
    sigemptyset(&childEnded);
    sigaddset(&childEnded, SIGCHLD);
    long waited = 0;
    int status = 0;
    for (;;) {
        pid_t done = ::waitpid(pid, &status, WNOHANG);
        if (done == pid)
            break;
        if (waited >= timeoutMs) {
            outcome.timedOut = true;
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        timespec slice = {0, 2000000};
        siginfo_t info;
        if (::sigtimedwait(&childEnded, &info, &slice) < 0 && errno == EAGAIN)
            waited += 2;
    }
    if (WIFEXITED(status))
        outcome.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        outcome.signal = WTERMSIG(status);
    std::istringstream lines(readFile(record));
    for (std::string line; std::getline(lines, line);)
        outcome.record.push_back(line);
    outcome.output = readFile(out);
    return outcome;
}

// The code an error body carries for a library's return value (the bridge's
// own rule: a value wider than 32 bits reads as CKR_GENERAL_ERROR).
int codeOf(unsigned long long rv) { return rv >> 32 ? 5 : static_cast<int>(static_cast<uint32_t>(rv)); }

struct LibraryAnswers {
    bool ended = false;
    std::set<int> codes;
    std::vector<std::string> values; // CKA_VALUE answers within their buffer
    bool signatureValid = false;
    std::string signature;
    std::vector<std::string> signedData;
    std::vector<std::string> logins;
};

LibraryAnswers readModuleRecord(const std::vector<std::string>& record)
{
    LibraryAnswers a;
    for (const std::string& line : record) {
        std::istringstream words(line);
        std::string kind, first, second;
        words >> kind >> first >> second;
        if (kind == "end")
            a.ended = true;
        else if (kind == "rv")
            a.codes.insert(codeOf(std::stoull(second)));
        else if (kind == "value")
            a.values.push_back(unhex(first));
        else if (kind == "signature") {
            a.signatureValid = true;
            a.signature = unhex(first);
        } else if (kind == "signature-lie")
            a.signatureValid = false;
        else if (kind == "signdata")
            a.signedData.push_back(first == "null" ? "null" : unhex(first));
        else if (kind == "login")
            a.logins.push_back(first == "null" ? "null" : unhex(first));
    }
    return a;
}

// The bridge's own codes: its three, memory, a broken answer, a bad request,
// a PIN too long, and an entry point the module lacks.
const std::set<int> OWN_CODES = {0x401, 0x402, 0x403, 2, 5, 7, 0xA2, 0x54};

bool startsWith(const std::string& text, const std::string& head) { return text.compare(0, head.size(), head) == 0; }

// An error body: "Result=<code>\nError=<name>[\nError func=<label>]", the
// code not 0 and one the library returned or the bridge's own.
bool errorBody(const std::string& body, const LibraryAnswers& a, Verdict& v)
{
    if (!startsWith(body, "Result="))
        return false;
    size_t end = body.find('\n');
    std::string code = body.substr(7, end == std::string::npos ? std::string::npos : end - 7);
    bool number = !code.empty() && code.find_first_not_of("-0123456789") == std::string::npos && code.size() < 12;
    v.check(number && end != std::string::npos && startsWith(body.substr(end), "\nError="),
            "an answer starting with Result= is not a body: " + body.substr(0, 200));
    if (!number || code == "0")
        return false;
    int value = static_cast<int>(std::stol(code));
    v.check(a.codes.count(value) || OWN_CODES.count(value),
            "the error code " + code + " is neither one the module returned nor one of the bridge's own");
    std::string rest = body.substr(end + 1);
    v.check(std::count(rest.begin(), rest.end(), '\n') <= 1 && rest.find("Result=") == std::string::npos,
            "the error body has more lines than one error: " + body.substr(0, 200));
    return true;
}

void judgeCertList(const std::string& body, const LibraryAnswers& a, Verdict& v)
{
    v.check(body.size() >= 2 && body.front() == '[' && body.back() == ']', "the list is not bracketed");
    if (body.size() < 2 || body == "[]")
        return;
    size_t next = 0; // the library's values not yet matched
    std::string items = body.substr(1, body.size() - 2);
    size_t at = 0;
    while (at <= items.size()) {
        size_t close = items.find("\"}", at);
        std::string item = items.substr(at, close == std::string::npos ? std::string::npos : close + 2 - at);
        const std::string head = "{hash:\"", middle = "\",cert_base64:\"";
        bool formed = close != std::string::npos && startsWith(item, head) &&
                      item.compare(head.size() + 40, middle.size(), middle) == 0;
        v.check(formed, "a list item is not well formed: " + item.substr(0, 120));
        if (!formed)
            return;
        std::string hash = item.substr(head.size(), 40);
        std::string text = item.substr(head.size() + 40 + middle.size());
        text.resize(text.size() - 2);
        std::string bytes;
        v.check(decodeBase64(text, bytes), "a list item's certificate is no Base64");
        v.check(hash == sha1Hex(bytes), "a list item's hash is not its certificate's SHA-1");
        while (next < a.values.size() && a.values[next] != bytes)
            ++next;
        v.check(next < a.values.size(), "a listed certificate is not one the module handed back, in order");
        if (next >= a.values.size())
            return;
        ++next;
        at = close + 2;
        if (at == items.size())
            return;
        v.check(items[at] == ',', "list items are not separated by commas");
        ++at;
    }
}

// How the run ended, the same for every program: by itself, with 0 or 1
// unless the library ended it, and without a sanitizer's report.
void judgeEnding(const Outcome& o, bool libraryEnded, Verdict& v)
{
    v.check(!o.timedOut, "the run did not end by itself");
    if (!libraryEnded)
        v.check(o.status == 0 || o.status == 1,
                o.signal ? "the run ended by signal " + std::to_string(o.signal) : "the run ended with status " + std::to_string(o.status));
    v.check(o.output.find("runtime error:") == std::string::npos &&
                o.output.find("Sanitizer") == std::string::npos,
            "a sanitizer reported");
}

void judgeBridge(const Host& host, const Outcome& o, const std::map<std::string, std::string>& before,
                 const std::map<std::string, std::string>& after, Verdict& v)
{
    LibraryAnswers a = readModuleRecord(o.record);
    judgeEnding(o, a.ended, v);
    if (host.pin.size() >= 4) {
        v.check(o.output.find(host.pin.substr(0, 6)) == std::string::npos, "the PIN is in the program's output");
        for (auto& file : after)
            if (!before.count(file.first) || before.at(file.first) != file.second)
                v.check(file.second.find(host.pin.substr(0, 6)) == std::string::npos, "the PIN is in " + file.first);
    }
    for (const std::string& pin : a.logins)
        v.check(pin == host.pin && host.pin.size() < 20, "C_Login got another PIN than the request's, or a cut one");
    for (const std::string& data : a.signedData)
        v.check(host.digestMode < 2 && data == host.digest, "C_Sign got other data than the request's digest");

    if (host.check) {
        v.check(after == before, "--check changed the working folder");
        return;
    }
    std::set<std::string> allowed = {requestName(), PLUGIN_DIR_FILE, answerName()};
    if (host.flagFile) {
        allowed.insert(FLAG_FILE);
        allowed.insert("forsign.bin");
        allowed.insert("sign.bin");
    }
    for (auto& file : after)
        v.check(allowed.count(file.first) != 0, "the run left " + file.first + " in the working folder");

    auto answer = after.find(answerName());
    bool answered = answer != after.end();
    if (answered)
        v.check(answer->second != STALE_ANSWER, "the earlier run's answer stands");
    if (!a.ended && o.status == 1)
        v.check(!answered, "the run ended with status 1 and left an answer");
    if (!a.ended && o.status == 0)
        v.check(answered, "the run ended with status 0 and left no answer");
    if (!answered || answer->second == STALE_ANSWER)
        return;
    const std::string& body = answer->second;
    if (errorBody(body, a, v))
        return;
    v.check(!host.unknownCommand, "an unknown command got a success answer");
    if (host.command == 0 && !host.unknownCommand) {
        judgeCertList(body, a, v);
    } else if (host.command == 1) {
        const std::string head = "Result=0\nError=OK\nRawCert64Coded\n";
        std::string bytes;
        v.check(startsWith(body, head) && decodeBase64(body.substr(head.size()), bytes),
                "the certificate answer is not well formed: " + body.substr(0, 120));
        v.check(!a.values.empty() && bytes == a.values.back(),
                "the certificate answered is not the one the module handed back");
    } else if (host.command == 2) {
        const std::string head = "Result=0\nError=OK\nSignedData=";
        std::string bytes;
        v.check(startsWith(body, head) && decodeBase64(body.substr(head.size()), bytes),
                "the signature answer is not well formed: " + body.substr(0, 120));
        v.check(a.signatureValid && bytes == a.signature && !bytes.empty(),
                "the signature answered is not the one C_Sign handed back with CKR_OK");
        v.check(host.digestMode < 2 && a.signedData.size() == 1, "a signature answer without the request's digest signed once");
    }
}

// quillet's report, entry by entry, from what the double handed back.
std::string escapeName(const std::string& name)
{
    std::string text;
    for (unsigned char c : name)
        text.push_back(c == '"' || c == '\\' || c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c));
    return text;
}

void judgeLister(const Host& host, const Outcome& o, const std::map<std::string, std::string>& before,
                 const std::map<std::string, std::string>& after, Verdict& v)
{
    bool ended = false;
    unsigned count = 0;
    bool connected = false;
    std::vector<std::string> names;
    std::vector<int> states;
    std::vector<std::string> atrs;
    for (const std::string& line : o.record) {
        std::istringstream words(line);
        std::string kind, a, b, c;
        words >> kind >> a >> b >> c;
        if (kind == "end")
            ended = true;
        else if (kind == "count")
            count = static_cast<unsigned>(std::stoul(a));
        else if (kind == "reader") {
            names.push_back(b == "name" ? unhex(c) : "");
            states.push_back(-1);
            atrs.push_back("");
            connected = false;
        } else if (kind == "presence" && !states.empty())
            states.back() = std::stoi(a);
        else if (kind == "connect" && !atrs.empty())
            connected = a == "0" && b == "atr";
        else if (kind == "render" && !atrs.empty())
            atrs.back() = connected && a == "0" ? unhex(b) : "";
        else if (kind == "disconnect-unknown")
            v.check(false, "a card was disconnected that was not connected");
    }
    judgeEnding(o, ended, v);
    if (host.check) {
        v.check(after == before, "--check changed the working folder");
        return;
    }
    for (auto& file : after)
        v.check(file.first == PLUGIN_DIR_FILE || file.first == answerName(),
                "the run left " + file.first + " in the working folder");
    auto report = after.find(answerName());
    bool answered = report != after.end();
    if (answered)
        v.check(report->second != STALE_ANSWER, "the earlier run's report stands");
    if (ended || o.status != 0) {
        v.check(!answered, "a run that ended without finishing left a report");
        return;
    }
    v.check(answered, "the run ended with status 0 and left no report");
    if (!answered)
        return;
    unsigned shown = count < 1024 ? count : 1024;
    v.check(names.size() == shown, "the lister did not ask for each reader once");
    std::string expected = "[";
    for (size_t i = 0; i < names.size() && i < shown; ++i) {
        if (i)
            expected += ",";
        expected += "{readerName:\"" + escapeName(names[i]) + "\",cardPresence:";
        bool card = states[i] >= 0 && (states[i] & 1);
        if (!card) {
            expected += "0}";
            continue;
        }
        std::string text = names[i].find("Aladdin eToken PRO USB 72K") != std::string::npos
                               ? "3b:d5:18:00:81:31:fe:7d:80:73:c8:21:10:f4"
                               : atrs[i];
        expected += "1,atr:\"" + text + "\"}";
    }
    bool lissi = privateOpt ? host.lissi : ::access(LISSI_PATH, R_OK) == 0;
    if (lissi)
        expected += std::string(shown ? "," : "") + "{readerName:\"Lissi Virtual SW Token\",atr:\"LISSI_SW_VIRTUAL_TOKEN\"}";
    expected += "]";
    v.check(report->second == expected, "the report is not what OpenSC handed back:\n  got      " +
                                            report->second.substr(0, 300) + "\n  expected " + expected.substr(0, 300));
}

std::string modulesDir;

// One input, one run; the broken rules, if any.
std::vector<std::string> runInput(const std::string& input)
{
    Host host = readHost(input);
    char folder[] = "/run-XXXXXX";
    std::string runDir = base + folder;
    if (!::mkdtemp(&runDir[0])) {
        std::perror("whole-run: mkdtemp");
        std::exit(2);
    }
    std::string work = runDir + "/work", control = runDir + "/control", outside = runDir + "/outside";
    ::mkdir(work.c_str(), 0755);
    ::mkdir(control.c_str(), 0700);
    ::mkdir(outside.c_str(), 0755);
    writeFile(outside + "/" + answerName(), "outside the working folder\n");
    writeFile(control + "/script", host.script);

    std::string plug = base + (variant == Variant::Quillet ? (host.listed ? "/plug-opensc-bare" : "/plug-opensc")
                                                           : host.listed ? "/plug-listed" : "/plug-named");
    writeFile(work + "/" + PLUGIN_DIR_FILE, plug + "/\n");
    if (variant != Variant::Quillet)
        writeFile(work + "/" + requestName(), requestText(host));
    if (host.earlierAnswer)
        writeFile(work + "/" + answerName(), STALE_ANSWER);
    if (host.flagFile && variant != Variant::Quillet)
        writeFile(work + "/" + FLAG_FILE, "");
    if (privateOpt) {
        ::unlink(LISSI_PATH);
        std::string module = variant == Variant::Quillet ? (host.lissi ? plug + "/opensc-pkcs11.so" : "")
                                                         : plug + "/libjcPKCS11.so.1";
        if (!module.empty() && ::symlink(module.c_str(), LISSI_PATH) != 0) {
            std::perror("whole-run: symlink");
            std::exit(2);
        }
    }

    std::map<std::string, std::string> before = folderContents(work);
    Outcome outcome = start(work, control, host.check);
    std::map<std::string, std::string> after = folderContents(work);
    Verdict verdict;
    if (variant == Variant::Quillet)
        judgeLister(host, outcome, before, after, verdict);
    else
        judgeBridge(host, outcome, before, after, verdict);
    std::map<std::string, std::string> outsideNow = folderContents(outside);
    verdict.check(outsideNow.size() == 1 && outsideNow.begin()->second == "outside the working folder\n",
                  "a file outside the working folder was touched");
    verdict.check(folderContents(runDir).size() == 3, "something was made beside the working folder");
    if (!verdict.broken.empty() && std::getenv("WHOLE_RUN_KEEP")) {
        std::fprintf(stderr, "whole-run: kept %s\n", runDir.c_str());
        return verdict.broken;
    }
    removeTree(runDir);
    return verdict.broken;
}

// The driver's fixed setup: its folder, the plugin folders with the
// libraries under the names the programs look for, and, where it may, a
// private /opt of its own for marbek's module and the LISSI marker.
void setUp()
{
    const char* tmp = std::getenv("TMPDIR");
    base = std::string(tmp && *tmp ? tmp : "/tmp") + "/whole-run-XXXXXX";
    if (!::mkdtemp(&base[0])) {
        std::perror("whole-run: mkdtemp");
        std::exit(2);
    }
    const struct {
        const char* folder;
        const char* library;
        const char* name;
    } plugs[] = {{"/plug-named", "libp11fuzz.so", "libjcPKCS11.so.1"},
                 {"/plug-listed", "libp11fuzz-listed.so", "libjcPKCS11.so.1"},
                 {"/plug-opensc", "libscfuzz.so", "opensc-pkcs11.so"},
                 {"/plug-opensc-bare", "libscfuzz-bare.so", "opensc-pkcs11.so"}};
    for (auto& p : plugs) {
        std::string folder = base + p.folder;
        std::string library = modulesDir + "/" + p.library;
        ::mkdir(folder.c_str(), 0755);
        if (::access(library.c_str(), R_OK) != 0 || ::symlink(library.c_str(), (folder + "/" + p.name).c_str()) != 0) {
            std::fprintf(stderr, "whole-run: %s is missing\n", library.c_str());
            std::exit(2);
        }
    }
    if (::unshare(CLONE_NEWNS) == 0 && ::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
        ::mount("tmpfs", "/opt", "tmpfs", 0, "mode=0755") == 0) {
        std::string path;
        std::string dir = LISSI_DIR;
        for (size_t at = 1; at != std::string::npos;) {
            at = dir.find('/', at + 1);
            ::mkdir(dir.substr(0, at).c_str(), 0755);
        }
        privateOpt = true;
    } else if (variant == Variant::Marbek) {
        // As the protocol cases do: a test that cannot be made here says so with 77.
        std::fprintf(stderr, "whole-run: marbek needs a private /opt (a mount namespace, as root): %s\n",
                     std::strerror(errno));
        std::exit(77);
    }
    // A sanitizer finding must end the program with a signal, not with a
    // status that could pass for one of its own.
    ::setenv("ASAN_OPTIONS", "abort_on_error=1:detect_leaks=1:symbolize=0:allocator_may_return_null=1", 0);
    ::setenv("UBSAN_OPTIONS", "halt_on_error=1:abort_on_error=1:print_stacktrace=1", 0);
    // Built for the fuzzer, the libraries are instrumented too and loaded after
    // the program's start; their own edges are not wanted in the map.
    ::setenv("AFL_IGNORE_PROBLEMS", "1", 0);
    if (const char* t = std::getenv("WHOLE_RUN_TIMEOUT_MS"))
        timeoutMs = std::atol(t);
    sigset_t childEnded;
    sigemptyset(&childEnded);
    sigaddset(&childEnded, SIGCHLD);
    sigprocmask(SIG_BLOCK, &childEnded, nullptr);
}

void inputsUnder(const std::string& path, std::vector<std::string>& files)
{
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        std::fprintf(stderr, "whole-run: %s: %s\n", path.c_str(), std::strerror(errno));
        std::exit(2);
    }
    if (!S_ISDIR(st.st_mode)) {
        files.push_back(path);
        return;
    }
    for (auto& entry : folderContents(path))
        if (entry.first[0] != '.' && entry.first.compare(0, 6, "README") != 0)
            inputsUnder(path + "/" + entry.first, files);
}
} // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> inputs;
    std::string name;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if ((arg == "--variant" || arg == "--program" || arg == "--modules") && i + 1 < argc) {
            std::string value = argv[++i];
            if (arg == "--variant")
                name = value;
            else if (arg == "--program")
                program = value;
            else
                modulesDir = value;
        } else {
            inputs.push_back(arg);
        }
    }
    if (name == "tovrel")
        variant = Variant::Tovrel;
    else if (name == "marbek")
        variant = Variant::Marbek;
    else if (name == "quillet")
        variant = Variant::Quillet;
    else
        usage("--variant must be tovrel, marbek or quillet");
    if (program.empty() || ::access(program.c_str(), X_OK) != 0 || modulesDir.empty() || inputs.empty())
        usage("need an executable --program, --modules and at least one input");
    // The program runs in its working folder: every path is made absolute first.
    char* absolute = ::realpath(program.c_str(), nullptr);
    char* absoluteModules = ::realpath(modulesDir.c_str(), nullptr);
    if (!absolute || !absoluteModules)
        usage("the program or the modules folder cannot be found");
    program = absolute;
    modulesDir = absoluteModules;
    std::free(absolute);
    std::free(absoluteModules);
    setUp();

#ifdef __AFL_HAVE_MANUAL_CONTROL
    __AFL_INIT();
#endif
    std::vector<std::string> files;
    for (const std::string& input : inputs)
        inputsUnder(input, files);
    int failures = 0;
    for (const std::string& file : files) {
        std::vector<std::string> broken = runInput(readFile(file));
        if (broken.empty())
            continue;
        ++failures;
        for (const std::string& rule : broken)
            std::fprintf(stderr, "whole-run: %s: %s\n", file.c_str(), rule.c_str());
    }
#ifndef __AFL_HAVE_MANUAL_CONTROL
    removeTree(base);
#endif
    if (failures) {
        std::fprintf(stderr, "whole-run: %d of %zu inputs broke a rule\n", failures, files.size());
#ifdef __AFL_HAVE_MANUAL_CONTROL
        std::abort();
#endif
        return 1;
    }
    std::printf("whole-run %s: %zu inputs, every rule held\n", name.c_str(), files.size());
    return 0;
}
