#include "server/banque/empreinte.h"

#include <atomic>

#include <QCryptographicHash>
#include <QPasswordDigestor>
#include <QRandomGenerator>
#include <QStringList>

namespace {

const QLatin1String methode("pbkdf2-sha256");
constexpr int tailleSel = 16;
constexpr int tailleDerivee = 32;

QByteArray deriver(const QString &cle, const QByteArray &sel, int iterations)
{
    return QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha256, cle.toUtf8(), sel, iterations,
                                              tailleDerivee);
}

} // namespace

QString empreinteCle(const QString &cle)
{
    QByteArray sel(tailleSel, Qt::Uninitialized);
    QRandomGenerator::system()->generate(sel.begin(), sel.end());
    return QStringList{methode, QString::number(iterationsEmpreinte), QString::fromLatin1(sel.toBase64()),
                       QString::fromLatin1(deriver(cle, sel, iterationsEmpreinte).toBase64())}
        .join(QLatin1Char('$'));
}

bool verifierCle(const QString &cle, const QString &empreinte)
{
    const QStringList parties = empreinte.split(QLatin1Char('$'));
    if (parties.size() != 4 || parties[0] != methode)
        return false;
    bool nombre = false;
    const int iterations = parties[1].toInt(&nombre);
    if (!nombre || iterations < 1)
        return false;
    const QByteArray sel = QByteArray::fromBase64(parties[2].toLatin1());
    const QByteArray attendue = QByteArray::fromBase64(parties[3].toLatin1());
    if (sel.isEmpty() || attendue.size() != tailleDerivee)
        return false;
    return egalesEnTempsConstant(deriver(cle, sel, iterations), attendue);
}

namespace {
std::atomic<quint64> comparaisons{0};
}

quint64 comparaisonsEnTempsConstant()
{
    return comparaisons.load();
}

bool egalesEnTempsConstant(const QByteArray &a, const QByteArray &b)
{
    comparaisons.fetch_add(1, std::memory_order_relaxed);
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (int i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}
