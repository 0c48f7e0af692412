#include "Quillmere/Model/ReadConnection.h"

#include "Quillmere/Model/StoreDamage.h"

#include <QSqlError>
#include <QUuid>

namespace quillmere {

ReadConnection::ReadConnection(const QString &path)
    : m_path(path), m_name(QStringLiteral("quillmere-read-") + QUuid::createUuid().toString(QUuid::WithoutBraces))
{
    QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
    db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=5000"));
    db.setDatabaseName(path);
    m_open = db.open();
    if (!m_open)
        noteError(db.lastError());
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
        noteError(database.lastError());
    return m_inTransaction;
}

void ReadConnection::noteError(const QSqlError &error)
{
    m_error = error.text();
    m_metDamage = StoreDamage::detector().report(m_path, error) || m_metDamage;
}

} // namespace quillmere
