#ifndef COMMANDES_H
#define COMMANDES_H

#include "server/programme/options.h"

#include <QStringList>

class Banque;

// 0, or the exit code after saying why the database cannot be used.
int ouvrirBase(Banque &banque, const Options &options);

// The admin commands on the database: credit ACCOUNT AMOUNT, accounts,
// backup FILE. The command's own arguments, or a message that names what is
// wrong; the exit code.
int commander(const Options &options, const QStringList &arguments);

#endif
