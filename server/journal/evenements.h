#ifndef EVENEMENTS_H
#define EVENEMENTS_H

#include <QString>

// The log lines that tools such as fail2ban read, in one stable form where the
// address is always the word after "from" and the account the word after
// "account" ("-" when there is none yet):
//
//   #CONNECTION refused REASON from ADDRESS account ACCOUNT[ (DETAIL)]
//   #CONNECTION EVENT from ADDRESS account ACCOUNT[ DETAIL]
//
// A key never appears in them.

// The reasons are single words: wrong-key, malformed-credentials,
// malformed-request, malformed-transfer, not-authenticated, foreign-transfer,
// insufficient-balance, unknown-recipient, offline-recipient,
// recipient-ceiling, address-connections, account-connections,
// account-creations, idle-timeout, unfinished-frame, oversized-frame,
// not-reading, proxy-header (a trusted proxy's header missing or invalid:
// the address is the proxy's), busy (too many keys being checked).
QString ligneRefus(int connexion, const char *motif, const QString &adresse, const QString &compte,
                   const QString &detail = QString());
void journaliserRefus(int connexion, const char *motif, const QString &adresse, const QString &compte,
                      const QString &detail = QString());

// created, authenticated, transfer (detail: "amount AMOUNT to RECIPIENT").
QString ligneEvenement(int connexion, const char *evenement, const QString &adresse, const QString &compte,
                       const QString &detail = QString());
void journaliserEvenement(int connexion, const char *evenement, const QString &adresse, const QString &compte,
                          const QString &detail = QString());

#endif
