#pragma once

#include <QHash>
#include <QSqlQuery>
#include <QString>
#include <optional>
#include <utility>
#include <vector>

namespace quillmere {

// Each application's newest clip: its date and the name it gave.
class SourceApps {
public:
    void note(const QString &bundleID, qint64 at, const std::optional<QString> &name);
    // SQLite takes the name from the row that has the MAX.
    static QString query(const QString &condition);
    void read(QSqlQuery &q);
    std::vector<std::pair<QString, std::optional<QString>>> newestFirst() const;

private:
    struct Newest {
        qint64 at;
        std::optional<QString> name;
    };
    QHash<QString, Newest> m_apps;
};

} // namespace quillmere
