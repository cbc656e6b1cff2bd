// The usage texts of the two bridge builds.
#include "command_line.h"
#include "variant.h"

namespace {
#ifdef BUILD_ETOKEN
const char PROGRAM[] = "tovrel";
const char USAGE[] = R"(tovrel: answers one request of a host application through the PKCS#11
module of JaCarta tokens, then exits.

The host starts tovrel without arguments in a working folder that holds
  vn_api_currplugDir.txt  its first word: the folder that holds
                          libjcPKCS11.so.1, ending in /
  tovrel_in.txt           the command word (getCertList, readTokenCert or
                          signDocumentRaw), the reader name, the PIN and, to
                          sign, the 32-byte digest in Base64, one a line
and reads the answer from tovrel_out.txt. While the file
VELNOR_VIVIRAV_NOTDELETE_LOGS.FLAG exists, signing also writes forsign.bin
and sign.bin.

  -c, --check    report, step by step, what a run in the current folder
                 would meet: the plugin-directory file, the module file and
                 its ELF class, loading it, its entry points, C_Initialize,
                 each slot with a token, the slot tovrel_in.txt chooses,
                 CKM_GOSTR3410 and the certificates there; exit status 0
                 when a run would get as far as the token. It never reads
                 the PIN line, logs in or signs, and changes no file
  -c, --check    report, step by step, what a run in the current folder
                 would meet: the module file and its ELF class, loading it,
                 its entry points, C_Initialize, each slot with a token, the
                 first one's CKM_GOSTR3410 and certificates; exit status 0
                 when a run would get as far as the token. It never reads
                 the PIN line, logs in or signs, and changes no file
  -h, --help     print this text and exit
  -V, --version  print the version and exit

A run that cannot do its job says why on standard error.

A run that cannot do its job says why on standard error.

The manual: man tovrel (share/man/man1/tovrel.1.gz in the .tar.gz).
)";
#else
const char PROGRAM[] = "marbek";
const char USAGE[] = R"(marbek: answers one request of a host application through the PKCS#11
module of the LISSI software token,
/opt/lissi-crypto/lircryptoki_fs/lib/liblircryptoki_fs.so, then exits.

The host starts marbek without arguments in a working folder that holds
  marbek_in.txt  the command word (getCertList, readTokenCert or
                 signDocumentRaw), the reader name, the PIN and, to sign,
                 the 32-byte digest in Base64, one a line
and reads the answer from marbek_out.txt. While the file
VELNOR_VIVIRAV_NOTDELETE_LOGS.FLAG exists, signing also writes forsign.bin
and sign.bin.

  -h, --help     print this text and exit
  -V, --version  print the version and exit

The manual: man marbek (share/man/man1/marbek.1.gz in the .tar.gz).
)";
#endif
} // namespace

int answerCommandLine(int argc, char** argv)
{
    return answerInfoOptions(argc, argv, PROGRAM, USAGE);
}
