#ifndef TRAME_H
#define TRAME_H

// wire/: the format both programs speak, frames and the scrambling codec.
// Uses Qt Core only; the client's conversation/ and the server sit above it.

#include <QByteArray>
#include <QString>

class QIODevice;

// A frame is the only unit on the connection, both ways: an unsigned 16-bit
// big-endian count of the bytes that follow, then the QDataStream encoding of
// one QString (32-bit byte count, or 0xFFFFFFFF for a null text, then UTF-16BE).

// Longest text whose frame still fits the 16-bit length.
constexpr int tailleMaxTexteTrame = (0xFFFF - 4) / 2;

// The whole frame for texte, or an empty array when texte is too long for one.
QByteArray construireTrame(const QString &texte);

// Takes the next frame's body off source once it has fully arrived. tailleAttendue
// carries the announced length between calls (0: the header is not read yet).
bool prendreCorpsTrame(QIODevice &source, quint16 &tailleAttendue, QByteArray &corps);

// The text that a body holds; an empty text when the body is not exactly one
// well-formed string.
QString lireTexteTrame(const QByteArray &corps);

#endif
