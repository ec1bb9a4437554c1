#ifndef CLE_H
#define CLE_H

#include <QString>

// One five-digit group of a key, from one random draw: 10000..99999.
int groupeCle(quint32 tirage);

// A new 20-digit key drawn from the operating system's secure random source.
QString nouvelleCle();

// The key stored in "<compte>.key" in the working directory, read exactly as it
// is; when the file cannot be read, a new key is made and saved (owner-only).
QString chargerCle(const QString &compte);

#endif
