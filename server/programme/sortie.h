#ifndef SORTIE_H
#define SORTIE_H

#include "server/banque/pannes.h"

#include <QString>

// The program's exit codes (sysexits.h), and how a failure is told.

// For --help.
extern const char *const aideCodesSortie;

// Says message on stderr and gives code back.
int echouer(const QString &message, int code);

// The exit code for a database that cannot be used.
int codeSortie(PanneBase panne);

#endif
