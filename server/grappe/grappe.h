#ifndef GRAPPE_H
#define GRAPPE_H

// grappe/: the servers that share one database: presence on PostgreSQL, the
// credits' watch on SQLite, the money they announce. Uses reseau/, banque/,
// protocole/ (the request's account form).

#include <QString>

#include <functional>

// What one server needs from the others serving the same database: where
// the accounts are connected, and the money that reaches its own clients
// through someone else (another server, or a credit written by the admin
// command).
class Grappe
{
public:
    enum class Presence { Ailleurs, Absent, Inconnue };

    virtual ~Grappe() = default;

    // Hands a reply to every connection of an account on this server.
    std::function<void(const QString &compte, const QString &reponse)> distribuer;

    // Called once an account's connection is accepted; suite, once the money
    // announced until now is handed out: then the connection joins the others
    // and its reply goes out, so that this money is not counted on top of the
    // balance that the reply gives.
    virtual void arrivee(const QString &compte, std::function<void()> suite) = 0;
    // The account's last connection here has closed.
    virtual void depart(const QString &compte) = 0;
    // Whether the account, not connected here, is connected to another
    // server: told to suite, on the loop, without waiting for the database.
    virtual void chercher(const QString &compte, std::function<void(Presence)> suite) = 0;
    // A transfer about to be committed here to an account connected here,
    // which this server tells itself: said before the commit, since what
    // this server reads back from the database may follow the commit before
    // the transfer's answer does.
    virtual void prevuIci(const QString &destinataire, qint64 montant, const QString &source)
    {
        (void)destinataire, (void)montant, (void)source;
    }
    // One of those that was not made, or not surely.
    virtual void renonceIci(const QString &destinataire, qint64 montant, const QString &source)
    {
        (void)destinataire, (void)montant, (void)source;
    }
};

// A name of its own for this server process, for its database connections.
QString nouvelleOrigine();

// adresse with the application name origine for a PostgreSQL database, so
// that the triggers can tell which server wrote a row; other addresses as they are.
QString adresseAvecOrigine(const QString &adresse, const QString &origine);

#endif
