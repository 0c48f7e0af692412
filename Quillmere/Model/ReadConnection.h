#pragma once

#include <QSqlDatabase>
#include <QString>

class QSqlError;

namespace quillmere {

// A read-only connection to a store file that lives for one job on the calling thread, beside the
// store's own connection. In WAL mode it never blocks the writer, nor the writer it.
class ReadConnection {
public:
    explicit ReadConnection(const QString &path);
    ~ReadConnection();
    ReadConnection(const ReadConnection &) = delete;
    ReadConnection &operator=(const ReadConnection &) = delete;

    bool isOpen() const { return m_open; }
    QString error() const { return m_error; }
    QSqlDatabase db() const { return QSqlDatabase::database(m_name, false); }
    // Every read until the connection goes sees the store as it was at the first of them.
    bool beginReadTransaction();
    // Keeps a failed read's error as error(); damage goes to StoreDamage, and metDamage() tells of it.
    void noteError(const QSqlError &error);
    bool metDamage() const { return m_metDamage; }

private:
    QString m_path;
    QString m_name;
    bool m_metDamage = false;
    bool m_open = false;
    bool m_inTransaction = false;
    QString m_error;
};

} // namespace quillmere
