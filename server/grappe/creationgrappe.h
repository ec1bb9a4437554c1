#ifndef CREATIONGRAPPE_H
#define CREATIONGRAPPE_H

#include "server/grappe/grappe.h"

#include <QString>

#include <memory>

namespace asio {
class io_context;
}

// For the database at adresse: the presence of every server on PostgreSQL,
// the credits' watch on SQLite. origine: this server's application name.
// Apart from grappe.h, which both kinds implement.
std::unique_ptr<Grappe> creerGrappe(asio::io_context &contexte, const QString &adresse, const QString &origine);

#endif
