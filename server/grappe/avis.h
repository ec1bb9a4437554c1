#ifndef AVIS_H
#define AVIS_H

#include <QByteArray>
#include <QString>

#include <optional>

// Money that reached an account, as the database announces it to every
// server once the transaction that moved it has committed.
struct AvisArgent
{
    enum class Genre { Virement, Credit };

    Genre genre = Genre::Virement;
    qint64 numero = 0;   // the row's id in its journal, transfers or credits
    QString compte;      // who received it
    qint64 montant = 0;
    QString source;      // the sender of a transfer; empty for a credit
    QByteArray origine;  // the application name of the connection that wrote it
};

// The payload that the database's triggers send:
//   t:ID:RECIPIENT:AMOUNT:SENDER:ORIGIN   a transfer
//   c:ID:ACCOUNT:AMOUNT::ORIGIN           a credit
// ID only keeps two equal movements of one transaction apart (equal payloads
// are merged); ORIGIN runs to the end and may hold anything. Nothing for a
// payload of any other form.
std::optional<AvisArgent> lireAvis(const QByteArray &charge);

// What the recipient's connections are sent: "r:AMOUNT:SENDER", the sender
// of a credit being the service itself.
QString reponseAvis(const AvisArgent &avis);

// The sender's name that the client shows for a credit.
inline const QString sourceCredit = QStringLiteral("QoVi$");

#endif
