#include "Quillmere/Model/StoreDamage.h"

#include "Quillmere/Model/StoreRows.h"
#include "Quillmere/Platform/Core/Logging.h"

#include <QCoreApplication>
#include <QSqlError>

namespace quillmere {

StoreDamage &StoreDamage::detector()
{
    static StoreDamage instance;
    return instance;
}

bool StoreDamage::isDamage(int sqliteCode)
{
    const int primary = sqliteCode & 0xff;
    return primary == 11 || primary == 26;
}

bool StoreDamage::isDamage(const QSqlError &error)
{
    return isDamage(sqliteCode(error));
}

bool StoreDamage::report(const QString &path, const QSqlError &error)
{
    return report(path, sqliteCode(error), describe(error));
}

bool StoreDamage::report(const QString &path, int sqliteCode, const QString &message)
{
    if (!isDamage(sqliteCode) || path.isEmpty())
        return false;
    {
        const std::lock_guard lock(m_mutex);
        if (m_pending.contains(path))
            return true;
        m_pending.insert(path);
    }
    qCCritical(lcStore, "The store at %s is damaged: %s", qPrintable(path), qPrintable(message));
    announce(path);
    return true;
}

void StoreDamage::announce(const QString &path)
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app)
        return;
    // Queued even from the main thread: whoever met the damage is in the middle of something.
    QMetaObject::invokeMethod(
        app,
        [this, path] {
            {
                const std::lock_guard lock(m_mutex);
                m_pending.remove(path);
            }
            Q_EMIT damageFound(path);
        },
        Qt::QueuedConnection);
}

QString StoreDamage::damageMessage()
{
    return QStringLiteral("Part of your clipboard history could not be read because its file is damaged. Brindlewax "
                          "is repairing it now and will tell you when it is done; try again then.");
}

} // namespace quillmere
