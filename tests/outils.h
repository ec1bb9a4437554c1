#ifndef OUTILS_H
#define OUTILS_H

// Shared by the tests: a loopback peer that speaks frames, and a way to answer
// the modal boxes that the window opens.

#include "wire/codec.h"
#include "wire/trame.h"
#include "window/fenclient.h"

#include "clientprotocole.h"
#include "dossiertemporaire.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QTimer>

#include <functional>

// Answers every modal box that opens while it lives with bouton, and records
// what each one said.
class RepondeurBoites : public QObject
{
public:
    struct Boite
    {
        QString titre;
        QString texte;
        QMessageBox::Icon icone;
    };

    explicit RepondeurBoites(QMessageBox::StandardButton bouton = QMessageBox::Ok)
        : bouton(bouton)
    {
        connect(&minuterie, &QTimer::timeout, this, &RepondeurBoites::regarder);
        minuterie.start(20);
    }

    QList<Boite> vues;
    QMessageBox::StandardButton bouton;
    // Set to false to leave a box open until it is set back to true.
    bool repondre = true;

private:
    void regarder()
    {
        auto *boite = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!boite || !repondre)
            return;
        if (vues.isEmpty() || boite != derniere) {
            vues.append({boite->windowTitle(), boite->text(), boite->icon()});
            derniere = boite;
        }
        QAbstractButton *choix = boite->button(bouton);
        if (!choix)
            choix = boite->defaultButton() ? static_cast<QAbstractButton *>(boite->defaultButton())
                                           : boite->buttons().value(0);
        if (choix)
            choix->click();
    }

    QTimer minuterie;
    QPointer<QMessageBox> derniere;
};

// A box that stays open while replies keep arriving. The box runs its own
// event loop inside the reply handler, so what happens while it is open is
// driven from a timer: once a message box shows, alOuverture runs; as soon as
// pret holds, constat runs and the box is closed. Past delaiMs the box is
// closed anyway, so that a fault fails the checks that follow instead of
// leaving the box open for good. Each step may be left empty.
class BoiteTenueOuverte : public QObject
{
public:
    struct Etapes
    {
        std::function<void()> alOuverture;
        std::function<bool()> pret;
        std::function<void()> constat;
    };

    BoiteTenueOuverte(RepondeurBoites &boites, Etapes etapes, int delaiMs)
        : boites(boites)
        , etapes(std::move(etapes))
        , delaiMs(delaiMs)
    {
        boites.repondre = false;
        connect(&pas, &QTimer::timeout, this, &BoiteTenueOuverte::avancer);
        pas.start(10);
    }

    bool fermee() const { return etape == Etape::Fermee; }

private:
    enum class Etape { Attente, Ouverte, Fermee };

    void avancer()
    {
        if (etape == Etape::Attente && qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            if (etapes.alOuverture)
                etapes.alOuverture();
            depuis.start();
            etape = Etape::Ouverte;
        } else if (etape == Etape::Ouverte && (!etapes.pret || etapes.pret() || depuis.hasExpired(delaiMs))) {
            if (etapes.constat)
                etapes.constat();
            boites.repondre = true;
            etape = Etape::Fermee;
            pas.stop();
        }
    }

    RepondeurBoites &boites;
    Etapes etapes;
    int delaiMs;
    Etape etape = Etape::Attente;
    QElapsedTimer depuis;
    QTimer pas;
};

// Far above any pause a busy machine gives a responsive window, far below a hang.
constexpr qint64 pireEcartAdmis = 2000;

// Ticks every 10 ms while it lives and keeps the longest time between two
// ticks: the longest the window could not have reacted to the user.
class Battement : public QObject
{
public:
    Battement()
    {
        connect(&minuterie, &QTimer::timeout, this, [this] {
            pire = qMax(pire, depuis.restart());
            ++nombre;
        });
        minuterie.setTimerType(Qt::PreciseTimer);
        depuis.start();
        minuterie.start(10);
    }

    qint64 pireEcart() const { return qMax(pire, depuis.elapsed()); }
    QByteArray rapport() const
    {
        return "longest pause of the event loop: " + QByteArray::number(pireEcart()) + " ms";
    }

    int nombre = 0;

private:
    QTimer minuterie;
    QElapsedTimer depuis;
    qint64 pire = 0;
};

// A scrambled frame, as the server sends it.
inline QByteArray trameReponse(const QString &texte)
{
    return construireTrame(brouiller(texte));
}

// A loopback server on 127.0.0.1 (a free port) that keeps its last connection
// and reads the client's frames back into plain texts.
class ServeurBoucle : public QObject
{
public:
    ServeurBoucle()
    {
        serveur.listen(QHostAddress::LocalHost, 0);
        connect(&serveur, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket *suivant = serveur.nextPendingConnection()) {
                client = suivant;
                ++connexions;
                tampon.clear(); // a half frame of an old connection is no prefix of the new one
                connect(suivant, &QTcpSocket::readyRead, this, [this, suivant] { lire(suivant); });
            }
        });
    }

    quint16 port() const { return serveur.serverPort(); }

    void envoyer(const QByteArray &octets)
    {
        client->write(octets);
        client->flush();
    }

    QTcpServer serveur;
    QPointer<QTcpSocket> client;
    int connexions = 0;
    QByteArray brut;       // every byte the client sent
    QStringList requetes;  // the client's frames, unscrambled
    // Called with each request as soon as it has arrived, to play a server's part.
    std::function<void(const QString &)> surRequete;

private:
    void lire(QTcpSocket *source)
    {
        const QByteArray recu = source->readAll();
        brut += recu;
        tampon += recu;
        while (tampon.size() >= 2) {
            const int taille = (quint8(tampon[0]) << 8) | quint8(tampon[1]);
            if (tampon.size() < 2 + taille)
                break;
            const QString requete = debrouiller(lireTexteTrame(tampon.mid(2, taille)));
            tampon.remove(0, 2 + taille);
            requetes.append(requete);
            if (surRequete)
                surRequete(requete);
        }
    }

    QByteArray tampon;
};

// The client's own connection notices, as the log shows them.
inline const QString tentative = QStringLiteral("Connection attempt in progress...");
inline const QString reussite = QStringLiteral("Successful connection !");
inline const QString deconnexion = QStringLiteral("Disconnected from the server");
inline const QString coupure = QStringLiteral("ERROR : the server has cut the connection.");

inline QString bienvenue(const QString &solde)
{
    return QStringLiteral("Welcome, your balance is ") + solde + QStringLiteral(" qovi$");
}

// The message log of a client window, one entry per paragraph, as the user reads it.
inline QStringList lignesJournal(const QWidget &fenetre)
{
    const QString texte = fenetre.findChild<QTextEdit *>(QStringLiteral("listeMessages"))->toPlainText();
    return texte.isEmpty() ? QStringList() : texte.split(QLatin1Char('\n'));
}

// The client window's socket, to see what it has buffered.
inline QTcpSocket *socketFenetre(const QWidget &fenetre)
{
    return fenetre.findChild<QTcpSocket *>();
}

// Types a loopback address and port into the connection tab and presses the button.
inline void connecterFenetre(QWidget &fenetre, quint16 port)
{
    fenetre.findChild<QLineEdit *>(QStringLiteral("serveurIP"))->setText(QStringLiteral("127.0.0.1"));
    fenetre.findChild<QSpinBox *>(QStringLiteral("serveurPort"))->setValue(port);
    fenetre.findChild<QAbstractButton *>(QStringLiteral("boutonConnexion"))->click();
}

// A whole text file, or a null text when it cannot be read.
inline QString lireFichierTexte(const QString &nom)
{
    QFile fichier(nom);
    if (!fichier.open(QIODevice::ReadOnly | QIODevice::Text))
        return QString();
    return QString::fromUtf8(fichier.readAll());
}

// A client window in a fresh working folder, with its own loopback server.
// connecter() presses the connect button and waits for the credentials.
struct SessionBoucle
{
    bool connecter()
    {
        connecterFenetre(fenetre, serveur.port());
        return QTest::qWaitFor([this] { return serveur.requetes.size() == 1; }, 10000);
    }

    QString solde() const { return fenetre.findChild<QLabel *>(QStringLiteral("solde"))->text(); }
    QString compte() const { return fenetre.findChild<QLabel *>(QStringLiteral("compte"))->text(); }
    QTextEdit *journal() const { return fenetre.findChild<QTextEdit *>(QStringLiteral("listeMessages")); }

    DossierTemporaire dossier; // first: the window reads and writes its files there
    ServeurBoucle serveur;
    FenClient fenetre;
};

#endif
