#include "server/programme/sortie.h"

#include "server/journal/journal.h"

#include <cstdio>
#include <sysexits.h>

const char *const aideCodesSortie =
    "Exit status:\n"
    "  0   done\n"
    "  64  wrong arguments or options (EX_USAGE)\n"
    "  65  a wrong account number or amount, an unknown account, a balance that would pass 2147483647\n"
    "      (EX_DATAERR)\n"
    "  69  the database cannot be opened or reached (EX_UNAVAILABLE)\n"
    "  70  an internal error (EX_SOFTWARE)\n"
    "  71  the server cannot listen on its address and port (EX_OSERR)\n"
    "  73  the backup file exists already or cannot be created (EX_CANTCREAT)\n"
    "  74  the database or the backup cannot be written: a full disk, a read-only file (EX_IOERR)\n"
    "  75  the database is busy or locked: try again (EX_TEMPFAIL)\n"
    "  78  the database was upgraded by a newer qovi-server (EX_CONFIG)";

// Under systemd's journal, with the priority of an error.
int echouer(const QString &message, int code)
{
    std::fprintf(stderr, "%sqovi-server: %s\n", stderrVersJournald() ? "<3>" : "", qPrintable(message));
    return code;
}

int codeSortie(PanneBase panne)
{
    switch (panne) {
    case PanneBase::Occupee:
        return EX_TEMPFAIL;
    case PanneBase::Disque:
        return EX_IOERR;
    case PanneBase::SchemaTropRecent:
        return EX_CONFIG;
    case PanneBase::Injoignable:
        break;
    }
    return EX_UNAVAILABLE;
}
