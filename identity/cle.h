#ifndef CLE_H
#define CLE_H

#include <QString>

// One five-digit group of a key, from one random draw: 10000..99999.
int groupeCle(quint32 tirage);

// A new 20-digit key drawn from the operating system's secure random source.
QString nouvelleCle();

enum class CreationCle { Faite, DejaLa, Impossible };

// Creates the key file nom holding cle, readable by its owner only, never
// through a symbolic link nor over anything that is already there (DejaLa),
// even if it appeared a moment ago. A file whose writing failed is removed
// (Impossible): the cut key would be read back at the next start.
CreationCle creerFichierCle(const QString &nom, const QString &cle);

// The key stored in "<compte>.key" in the working directory, without the line
// ends that may end the file. When nothing is there, a new key is made and
// saved (owner-only, never through a symbolic link). When something is there
// but cannot be read, it is left untouched: the key is empty, so that the
// server refuses it, and probleme gets a message for the user that names the
// file and the reason.
QString chargerCle(const QString &compte, QString *probleme = nullptr);

#endif
