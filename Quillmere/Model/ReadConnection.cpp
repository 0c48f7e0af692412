#include "Quillmere/Model/ReadConnection.h"

#include <QSqlError>
#include <QUuid>

namespace quillmere {

ReadConnection::ReadConnection(const QString &path)
    : m_name(QStringLiteral("quillmere-read-") + QUuid::createUuid().toString(QUuid::WithoutBraces))
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
    db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5000"));
    db.setDatabaseName(path);
    m_open = db.open();
    if (!m_open)
        m_error = db.lastError().text();
}

ReadConnection::~ReadConnection()
{
    {
        QSqlDatabase db = QSqlDatabase::database(m_name, false);
        if (m_inTransaction)
            db.rollback();
        db.close();
    }
    QSqlDatabase::removeDatabase(m_name);
}

bool ReadConnection::beginReadTransaction()
{
    QSqlDatabase database = db();
    m_inTransaction = m_open && database.transaction();
    if (!m_inTransaction && m_open)
        m_error = database.lastError().text();
    return m_inTransaction;
}

} // namespace quillmere
