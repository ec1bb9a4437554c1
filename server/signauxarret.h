#ifndef SIGNAUXARRET_H
#define SIGNAUXARRET_H

#include <QObject>

class QSocketNotifier;

// Turns SIGTERM and SIGINT into a Qt signal, so that the server stops through
// its event loop: connections closed, database closed.
class SignauxArret : public QObject
{
    Q_OBJECT

public:
    explicit SignauxArret(QObject *parent = nullptr);
    ~SignauxArret() override;

signals:
    void arretDemande();

private slots:
    void signalRecu();

private:
    QSocketNotifier *notificateur = nullptr;
};

#endif
