#include "server/banque/lotpostgres.h"

#include <QSqlQuery>

namespace {

// Each transfer in the order given, on the balances of rows locked for the
// whole lot: the same outcomes as one UPDATE after another, each all or
// nothing, but every row is written once, at the end. Rows are locked in the
// accounts' order, so that two opposite lots on two servers never deadlock.
// A failure anywhere fails the statement, and with it the whole lot.
const char *const fonctionLot = R"SQL(
CREATE OR REPLACE FUNCTION qovi_transfer_lot(senders TEXT[], recipients TEXT[], amounts BIGINT[], made_at TEXT)
RETURNS SMALLINT[] LANGUAGE plpgsql SET plan_cache_mode = force_generic_plan AS $lot$
DECLARE
    held TEXT[];
    start_balances BIGINT[];
    balances BIGINT[];
    sender_at BIGINT[];
    recipient_at BIGINT[];
    outcomes SMALLINT[] := array_fill(0::SMALLINT, ARRAY[cardinality(senders)]);
    s BIGINT;
    r BIGINT;
BEGIN
    IF cardinality(recipients) <> cardinality(senders) OR cardinality(amounts) <> cardinality(senders) THEN
        RAISE EXCEPTION 'qovi_transfer_lot: arrays of different lengths';
    END IF;
    SELECT array_agg(account ORDER BY account), array_agg(balance ORDER BY account) INTO held, start_balances
      FROM (SELECT account, balance FROM accounts WHERE account = ANY (senders || recipients)
            ORDER BY account FOR UPDATE) AS locked;
    held := COALESCE(held, '{}');
    start_balances := COALESCE(start_balances, '{}');
    balances := start_balances;
    SELECT array_agg(hs.n ORDER BY t.i), array_agg(hr.n ORDER BY t.i) INTO sender_at, recipient_at
      FROM unnest(senders, recipients) WITH ORDINALITY AS t(sender, recipient, i)
      LEFT JOIN unnest(held) WITH ORDINALITY AS hs(account, n) ON hs.account = t.sender
      LEFT JOIN unnest(held) WITH ORDINALITY AS hr(account, n) ON hr.account = t.recipient;
    FOR i IN 1 .. COALESCE(cardinality(senders), 0) LOOP
        s := sender_at[i];
        r := recipient_at[i];
        IF s IS NULL OR balances[s] < amounts[i] THEN
            outcomes[i] := 1;
        ELSIF r IS NULL THEN
            outcomes[i] := 3;
        ELSE
            balances[s] := balances[s] - amounts[i];
            IF balances[r] > 2147483647 - amounts[i] THEN
                balances[s] := balances[s] + amounts[i];
                outcomes[i] := 2;
            ELSE
                balances[r] := balances[r] + amounts[i];
            END IF;
        END IF;
    END LOOP;
    FOR j IN 1 .. cardinality(held) LOOP
        IF balances[j] <> start_balances[j] THEN
            UPDATE accounts SET balance = balances[j] WHERE account = held[j];
        END IF;
    END LOOP;
    INSERT INTO transfers (sender, recipient, amount, created_at)
    SELECT t.sender, t.recipient, t.amount, made_at
      FROM unnest(senders, recipients, amounts, outcomes) WITH ORDINALITY AS t(sender, recipient, amount, outcome, i)
     WHERE t.outcome = 0
     ORDER BY t.i;
    RETURN outcomes;
END
$lot$)SQL";

} // namespace

QStringList schemaLotPostgres()
{
    return {QString::fromLatin1(fonctionLot).trimmed()};
}

bool fonctionLotPresente(const QSqlDatabase &base)
{
    QSqlQuery requete(base);
    return requete.exec(QStringLiteral("SELECT 1 FROM pg_proc WHERE proname = 'qovi_transfer_lot'"
                                       " AND pronamespace = CAST(current_schema() AS regnamespace)"))
           && requete.next();
}

QString appelLotPostgres()
{
    return QStringLiteral("SELECT qovi_transfer_lot(CAST(? AS TEXT[]), CAST(? AS TEXT[]), CAST(? AS BIGINT[]), ?)");
}

QString tableauPostgres(const QStringList &elements)
{
    return QLatin1Char('{') + elements.join(QLatin1Char(',')) + QLatin1Char('}');
}

bool lireIssuesLot(const QString &texte, int nombre, QVector<int> *codes)
{
    if (!texte.startsWith(QLatin1Char('{')) || !texte.endsWith(QLatin1Char('}')))
        return false;
    const QStringRef interieur = texte.midRef(1, texte.size() - 2);
    const QVector<QStringRef> elements =
        interieur.isEmpty() ? QVector<QStringRef>() : interieur.split(QLatin1Char(','));
    if (elements.size() != nombre)
        return false;
    codes->clear();
    for (const QStringRef &element : elements) {
        bool nombreLu = false;
        const int code = element.toInt(&nombreLu);
        if (!nombreLu || code < 0 || code > int(IssueLot::CompteInconnu))
            return false;
        codes->append(code);
    }
    return true;
}
