// quillet's usage text.
#include "command_line.h"

namespace {
const char USAGE[] = R"(quillet: reports the smart-card readers that OpenSC sees, whether each holds
a card and the card's ATR, then exits.

The host starts quillet without arguments in a working folder that holds
  vn_api_currplugDir.txt  its first word: the folder that holds
                          opensc-pkcs11.so, ending in /
and reads the report, one line, from quillet_out.txt. When
/opt/lissi-crypto/lircryptoki_fs/lib/liblircryptoki_fs.so exists, the report
also names the LISSI software token.

  -c, --check    report, step by step, what a run in the current folder
                 would meet: the plugin-directory file, the library file and
                 its ELF class, loading it, the seven sc_ functions, the
                 OpenSC context, each reader and whether it holds a card, and
                 the LISSI module; exit status 0 when a run would get as far
                 as the readers. It connects to no card and changes no file
  -h, --help     print this text and exit
  -V, --version  print the version and exit

A run that cannot do its job says why on standard error.

The manual: man quillet (share/man/man1/quillet.1.gz in the .tar.gz).
)";
} // namespace

int answerCommandLine(int argc, char** argv)
{
    return answerInfoOptions(argc, argv, "quillet", USAGE);
}
