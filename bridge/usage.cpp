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

  -h, --help     print this text and exit
  -V, --version  print the version and exit

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
