#ifndef EMPREINTE_H
#define EMPREINTE_H

#include <QByteArray>
#include <QString>

// Keys are never stored: only a salted PBKDF2-HMAC-SHA256 derivation, kept as
// "pbkdf2-sha256$ITERATIONS$SALT$HASH" (salt and hash in base 64) so that the
// cost can be raised later without invalidating stored keys.

constexpr int iterationsEmpreinte = 10000;

// A new record for cle, with a fresh random salt.
QString empreinteCle(const QString &cle);

// Whether cle matches the record; false for a record that cannot be read.
bool verifierCle(const QString &cle, const QString &empreinte);

// Compares two byte arrays in a time that depends on their length only.
bool egalesEnTempsConstant(const QByteArray &a, const QByteArray &b);
// How many comparisons egalesEnTempsConstant made in this process, so that a
// test can tell that checking a key goes through it.
quint64 comparaisonsEnTempsConstant();

#endif
